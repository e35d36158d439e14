// Draws the plotly figures of a page: every element with a data-figure attribute names the
// JSON block that holds its {data, layout}.
(function () {
  "use strict";
  const config = { responsive: true, displaylogo: false };
  document.querySelectorAll("[data-figure]").forEach(function (target) {
    const plot = JSON.parse(document.getElementById(target.dataset.figure).textContent);
    Plotly.newPlot(target, plot.data, plot.layout, config);
  });
})();
