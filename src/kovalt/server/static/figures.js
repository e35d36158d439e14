// Draws the plotly figures whose specifications a page carries in JSON blocks: every element
// with a data-figure attribute names the block holding its {data, layout}.
(function () {
  "use strict";
  const config = { responsive: true, displaylogo: false };
  document.querySelectorAll("[data-figure]").forEach(function (target) {
    const spec = JSON.parse(document.getElementById(target.dataset.figure).textContent);
    Plotly.newPlot(target, spec.data, spec.layout, config);
  });
})();
