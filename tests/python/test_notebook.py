"""The first-lesson notebook runs from top to bottom on Debian's Python, with the module under
test: its own kernel runs, and its check finds the planted slip at the right stage and passes
the fixed functions."""
import json
import os
import pathlib

import nbformat
from nbclient import NotebookClient

import pixelwell

NOTEBOOK = pathlib.Path(__file__).resolve().parents[2] / "docs" / "notebooks" / "first-lesson.ipynb"


def test_the_first_lesson_runs(tmp_path, monkeypatch):
    # The notebook's kernel is Debian's /usr/bin/python3 whatever comes first on PATH, and it
    # imports the module of this build (PYTHONPATH is inherited).
    spec = tmp_path / "kernels" / "python3"
    spec.mkdir(parents=True)
    (spec / "kernel.json").write_text(json.dumps({
        "argv": ["/usr/bin/python3", "-Xfrozen_modules=off", "-m", "ipykernel_launcher", "-f", "{connection_file}"],
        "display_name": "Python 3 (Debian)", "language": "python"}))
    monkeypatch.setenv("JUPYTER_PATH", str(tmp_path))
    module_dir = os.path.dirname(os.path.dirname(os.path.abspath(pixelwell.__file__)))
    monkeypatch.setenv("PYTHONPATH", os.pathsep.join([module_dir, os.environ.get("PYTHONPATH", "")]))
    monkeypatch.setenv("MPLBACKEND", "module://matplotlib_inline.backend_inline")
    monkeypatch.setenv("PIXELWELL_LESSON_VIDEO", "")
    notebook = nbformat.read(NOTEBOOK, as_version=4)
    assert all(not c.get("outputs") for c in notebook.cells if c.cell_type == "code"), \
        "the notebook is kept without outputs in git"
    NotebookClient(notebook, timeout=120, kernel_name="python3", resources={"metadata": {"path": str(tmp_path)}}).execute()
    said = [o["data"]["text/plain"] for c in notebook.cells if c.cell_type == "code"
            for o in c.outputs if "text/plain" in o.get("data", {})]
    reports = [s for s in said if s.startswith("<CheckReport")]
    assert len(reports) == 2, said
    # The slip is found in the first stage, gray; fixed, every stage and the picture are exact.
    assert reports[0].startswith("<CheckReport: differs:") and "(gray of sobel-x); first at frame 0" in reports[0]
    assert reports[1].startswith("<CheckReport: equal: all 3 frames give exactly the result of sobel-x")
    printed = "".join(o.get("text", "") for c in notebook.cells if c.cell_type == "code" for o in c.outputs)
    assert "gray: differs" in printed and "levels: equal" in printed and "mode kernel - kernel [[-2, -1, 0]" in printed
    pictures = sum("image/png" in o.get("data", {}) for c in notebook.cells if c.cell_type == "code" for o in c.outputs)
    assert pictures == 5
