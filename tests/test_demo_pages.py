"""The demo's two pages, opened in headless Chromium as a reader would open them."""

import pytest

SUBPLOTS = """() => {
    const plot = document.querySelector('.js-plotly-plot');
    return {
        subplots: plot._fullLayout._subplots.cartesian.length,
        drawn: document.querySelectorAll('g.cartesianlayer > g.subplot').length,
        traces: document.querySelectorAll('g.trace').length,
    };
}"""


@pytest.mark.parametrize("page, subplots", [("performance.html", 4), ("excursions.html", 8)])
def test_demo_page_draws_its_subplots_without_console_errors(demo_output, browser_page, page,
                                                             subplots):
    out, done = demo_output
    assert done.returncode == 0, done.stderr
    browser_page.page.goto((out / page).as_uri())
    browser_page.page.wait_for_selector(".js-plotly-plot .main-svg", timeout=60_000)
    drawn = browser_page.page.evaluate(SUBPLOTS)
    browser_page.shot()
    assert browser_page.errors == []
    assert drawn["subplots"] == subplots and drawn["drawn"] == subplots
    assert drawn["traces"] >= subplots
