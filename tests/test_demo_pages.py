"""The demo's report page, opened from the file system in headless Chromium as a reader would.

Each adaptation of the page's figures is checked in the figures plotly.js drew, at a wide and a
narrow window; the screenshots stay in test-artifacts/ to be looked at.
"""

import pytest

DRAWN = """() => Array.from(document.querySelectorAll('[data-figure]')).map(plot => {
    const layout = plot._fullLayout;
    const legend = plot._fullData.filter(t => t.showlegend).map(t => t.name);
    const axis = name => layout[name] ? {format: layout[name].tickformat,
        title: layout[name].title && layout[name].title.text} : null;
    const box = plot.getBoundingClientRect();
    return {
        id: plot.id, width: box.width, pageWidth: document.documentElement.clientWidth,
        subplots: layout._subplots.cartesian.length,
        drawn: plot.querySelectorAll('g.cartesianlayer > g.subplot').length,
        legend: legend,
        violinAxes: plot._fullData.filter(t => t.type === 'violin').map(t => [t.name, t.yaxis]),
        axes: Object.fromEntries(['xaxis', 'yaxis', 'yaxis2', 'yaxis4', 'yaxis8', 'yaxis9',
                                  'yaxis10'].map(name => [name, axis(name)])),
        annotations: layout.annotations.map(a => a.text),
    };
})"""

# The box of the average-return label against the boxes of the histogram's bars and of the
# panel titles (the text's own box, not its annotation group).
LABEL_CLEAR_OF_BARS = """() => {
    const plot = document.getElementById('trade-analysis');
    const texts = Array.from(plot.querySelectorAll('g.annotation text'));
    const label = texts.find(a => a.textContent.startsWith('avg_return:')).getBoundingClientRect();
    const bars = Array.from(plot.querySelectorAll('g.subplot.xy g.trace.bars path'))
        .map(p => p.getBoundingClientRect()).filter(b => b.height > 0);
    const titles = texts.filter(a => !a.textContent.startsWith('avg_return:'))
        .map(a => a.getBoundingClientRect());
    const hit = boxes => boxes.filter(b => b.left < label.right && label.left < b.right
                                           && b.top < label.bottom && label.top < b.bottom).length;
    return {bars: bars.length, overlaps: hit(bars) + hit(titles)};
}"""


@pytest.mark.parametrize("width", [1300, 800])
def test_demo_report_page_opens_offline_with_readable_figures(demo_output, browser_page, width):
    out, done = demo_output
    assert done.returncode == 0, done.stderr
    page = browser_page.page
    page.set_viewport_size({"width": width, "height": 900})
    requests = []
    page.on("request", lambda request: requests.append(request.url))
    page.goto((out / "index.html").as_uri())
    page.wait_for_function(
        "document.querySelectorAll('[data-figure] .main-svg').length >= 2"
        " && document.querySelectorAll('#chart-return .main-svg').length > 0", timeout=60_000)
    drawn = {figure["id"]: figure for figure in page.evaluate(DRAWN)}
    browser_page.shot(str(width))
    browser_page.shot(f"{width}-performance", page.locator("#performance"))
    browser_page.shot(f"{width}-dashboard", page.locator("#trade-analysis"))
    assert browser_page.errors == []
    assert all(url.startswith("file://") for url in requests), requests
    assert page.locator("#stats tr").count() > 10
    assert page.locator("#positions tbody tr").count() == 10

    performance, dashboard = drawn["performance"], drawn["trade-analysis"]
    for figure, subplots in ((performance, 4), (dashboard, 10)):
        assert figure["subplots"] == subplots and figure["drawn"] == subplots
        # Responsive: the figure takes its box's width, not a fixed 800 or 1200 pixels.
        assert figure["width"] <= figure["pageWidth"] and figure["width"] > 0.8 * min(width, 1200) - 100
        assert len(figure["legend"]) == len(set(figure["legend"]))
    assert performance["legend"] == ["strategy", "benchmark"]
    assert {"<b>Cumulative return</b>", "<b>Holdings</b>"} <= set(performance["annotations"])
    assert performance["axes"]["yaxis"] == {"format": ".0%", "title": "return"}
    assert performance["axes"]["yaxis4"]["title"] == "assets held"
    assert sorted(dashboard["legend"]) == ["aux_line", "loss", "profit"]
    assert dashboard["axes"]["xaxis"]["format"] == ".0%"
    assert dashboard["axes"]["yaxis8"]["format"] == ".0%"
    violin_axes = dict(dashboard["violinAxes"])
    assert violin_axes.pop("entry_volatility") == "y9" and violin_axes.pop("pdays_ratio") == "y10"
    assert set(violin_axes.values()) == {"y8"} and len(violin_axes) == 6
    label = page.evaluate(LABEL_CLEAR_OF_BARS)
    assert label["bars"] > 0 and label["overlaps"] == 0
