"""tessel.image is initialised once per process: re-imports and reloads give
back the same module object, other interpreters are refused."""

from __future__ import annotations

import importlib
import importlib.util
import subprocess
import sys
import textwrap

import pytest

import tessel.image


def run_python(code, *options):
    return subprocess.run(
        [sys.executable, *options, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=120,
    )


def test_reimport_after_removal_gives_the_same_module():
    module, tool = tessel.image, tessel.image.ImageTool
    del sys.modules["tessel.image"]
    try:
        again = importlib.import_module("tessel.image")
    finally:
        sys.modules["tessel.image"] = module
    assert again is module
    assert again.ImageTool is tool


def test_reload_gives_the_same_module_without_rebuilding():
    module, tool, np = tessel.image, tessel.image.ImageTool, tessel.image.np
    assert importlib.reload(module) is module
    assert module.ImageTool is tool and module.np is np


def test_creating_from_the_spec_again_gives_the_same_module():
    spec = importlib.util.find_spec("tessel.image")
    module = importlib.util.module_from_spec(spec)
    assert module is tessel.image
    spec.loader.exec_module(module)  # already executed: nothing happens
    assert module.ImageTool is tessel.image.ImageTool


def test_import_without_warnings():
    result = run_python("import tessel.image", "-W", "error")
    assert result.returncode == 0, result.stderr
    assert result.stderr == ""


def test_failed_import_leaves_nothing_behind():
    result = run_python(
        """
        import sys
        sys.modules["faultdefs"] = None
        try:
            import tessel.image
        except ImportError as e:
            print("first:", type(e).__name__)
        print("kept:", "tessel.image" in sys.modules)
        del sys.modules["faultdefs"]
        import tessel.image
        print("second:", tessel.image.ImageTool.__name__)
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["first: ModuleNotFoundError", "kept: False", "second: ImageTool"]


# The module lives in the main interpreter; a subinterpreter importing it,
# isolated (own GIL, strict about extensions) or legacy-configured, gets the
# module's own refusal rather than any text of CPython's.
SUBINTERPRETER = """
    import sys
    import tessel.image
    kind = "{kind}"
    if sys.version_info >= (3, 13):
        import _interpreters
        interp = _interpreters.create(kind)
        run, destroy = _interpreters.run_string, _interpreters.destroy
    else:
        import _xxsubinterpreters
        interp = _xxsubinterpreters.create(isolated=kind == "isolated")
        run, destroy = _xxsubinterpreters.run_string, _xxsubinterpreters.destroy
    run(interp, "try:\\n import tessel.image\\nexcept ImportError as e:\\n print('ImportError:', e)\\nelse:\\n print('imported')")
    destroy(interp)
"""


@pytest.mark.skipif(sys.version_info < (3, 12), reason="subinterpreters of other configurations arrived in 3.12")
@pytest.mark.parametrize("kind", ["isolated", "legacy"])
def test_import_in_a_subinterpreter_is_refused_with_the_modules_message(kind):
    result = run_python(SUBINTERPRETER.format(kind=kind))
    assert result.returncode == 0, result.stderr
    assert result.stdout == (
        "ImportError: Interpreter change detected - this module can only be loaded into one interpreter per process.\n"
    )
