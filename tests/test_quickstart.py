"""The quickstart notebook, executed cell by cell in a real Jupyter kernel."""

from pathlib import Path

import pytest

nbformat = pytest.importorskip("nbformat")
nbclient = pytest.importorskip("nbclient")
pytest.importorskip("ipykernel")

NOTEBOOK = Path(__file__).resolve().parent.parent / "examples" / "quickstart.ipynb"
PLOTLY_MIME = "application/vnd.plotly.v1+json"


@pytest.fixture(scope="module")
def executed(tmp_path_factory):
    notebook = nbformat.read(NOTEBOOK, as_version=4)
    client = nbclient.NotebookClient(
        notebook, timeout=240, kernel_name="python3",
        resources={"metadata": {"path": str(tmp_path_factory.mktemp("quickstart"))}},
    )
    client.execute()
    return notebook


def outputs_of(notebook, text):
    """The outputs of the one code cell whose source contains ``text``."""
    cells = [c for c in notebook.cells if c.cell_type == "code" and text in c.source]
    assert len(cells) == 1, text
    return cells[0].outputs


def test_every_cell_runs_without_error_or_warning(executed):
    for cell in executed.cells:
        if cell.cell_type != "code":
            continue
        assert cell.execution_count is not None
        for output in cell.outputs:
            assert output.output_type != "error", output.get("evalue")
            assert output.get("name") != "stderr", output.get("text")


@pytest.mark.parametrize(
    "cell, subplots",
    [("report.display()", 4), ("report.display_trevik_analysis()", 8)],
)
def test_figures_come_out_as_plotly_figures(executed, cell, subplots):
    figures = [o["data"][PLOTLY_MIME] for o in outputs_of(executed, cell)
               if PLOTLY_MIME in o.get("data", {})]
    assert len(figures) == 1
    layout = figures[0]["layout"]
    assert len([key for key in layout if key.startswith("xaxis")]) >= subplots
    assert figures[0]["data"], "the figure has no traces"


def test_trade_information_and_positions_are_shown(executed):
    enriched = outputs_of(executed, "add_trade_info")[0]["data"]["text/plain"]
    assert "entry_volatility_20d" in enriched
    positions = outputs_of(executed, "report.position_info()")[0]["data"]["text/plain"]
    assert "'next_trading_date'" in positions and "'status'" in positions
