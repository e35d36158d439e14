// Draws the two charts of a strategy page from the data block the page carries.
(function () {
  "use strict";
  const data = JSON.parse(document.getElementById("chart-data").textContent);
  const config = { responsive: true, displaylogo: false };
  const margin = { l: 60, r: 20, t: 10, b: 40 };

  const curves = [
    { x: data.time, y: data.strategy, name: "strategy", type: "scatter", mode: "lines",
      line: { color: "#1f5fa8", width: 2 } },
  ];
  if (data.benchmark) {
    curves.push({ x: data.time, y: data.benchmark, name: "benchmark", type: "scatter",
                  mode: "lines", line: { color: "#999999", width: 1.5 } });
  }
  Plotly.newPlot("chart-return", curves, {
    margin: margin, hovermode: "x unified", legend: { orientation: "h", y: 1.08 },
    yaxis: { title: { text: "value (start = 100)" } },
  }, config);

  Plotly.newPlot("chart-drawdown", [
    { x: data.time, y: data.drawdown, name: "drawdown", type: "scatter", mode: "lines",
      fill: "tozeroy", line: { color: "#c0392b", width: 1 } },
  ], {
    margin: margin, hovermode: "x unified", showlegend: false,
    yaxis: { tickformat: ".0%", title: { text: "drawdown" } },
  }, config);
})();
