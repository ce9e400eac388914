"""The shipped type stubs: they match the compiled modules (stubtest), type-check
real use and reject misuse (mypy), and carry the runtime annotation texts."""

from __future__ import annotations

import ast
import importlib
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

pytest.importorskip("mypy")

TYPING_DIR = Path(__file__).parent / "typing"

# Where a stub deliberately differs from the runtime annotation text: a "dict"
# parameter whose default is None is Optional in the stub, and an unannotated
# parameter or **kwargs is Any.
STUB_SPELLING = {
    ("tessel.http", "dict"): "Optional[Dict[str, Any]]",
    ("tessel.http", "int"): "Optional[int]",
}


def run_tool(args, tmp_path):
    env = dict(os.environ, MYPY_FORCE_COLOR="0", NO_COLOR="1")
    env.pop("MYPYPATH", None)
    return subprocess.run(
        [sys.executable, *args],
        cwd=tmp_path,
        env=env,
        capture_output=True,
        text=True,
        timeout=300,
    )


def installed_stub(module: str) -> Path:
    """The .pyi installed next to the module."""
    spec = importlib.util.find_spec(module)
    assert spec is not None and spec.origin is not None, module
    origin = Path(spec.origin)
    stub = origin.parent / (module.rsplit(".", 1)[-1] + ".pyi")
    assert stub.is_file(), f"no stub installed for {module} at {stub}"
    return stub


@pytest.mark.parametrize("module", ["tessel.image", "tessel.http", "faultdefs"])
def test_stubtest_finds_no_inconsistency(module, tmp_path):
    result = run_tool(["-m", "mypy.stubtest", module], tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


@pytest.mark.parametrize(
    "targets",
    [
        [str(TYPING_DIR / "usage.py")],
        ["-m", "tessel.cli", "-m", "tessel.dask_recipe", "-m", "tessel.checks", "-m", "tessel.limits"],
    ],
    ids=["usage-example", "package-python-modules"],
)
def test_typed_code_checks_clean(tmp_path, targets):
    result = run_tool(["-m", "mypy", "--strict", "--cache-dir", str(tmp_path / "cache"), *targets], tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


def test_misuse_is_rejected_line_by_line(tmp_path):
    source = TYPING_DIR / "misuse.py"
    expected = {}
    for lineno, line in enumerate(source.read_text(encoding="utf-8").splitlines(), 1):
        marker = re.search(r"# E: ([\w-]+)$", line)
        if marker:
            expected[lineno] = marker.group(1)
    assert len(expected) >= 10
    result = run_tool(["-m", "mypy", "--strict", "--cache-dir", str(tmp_path / "cache"), str(source)], tmp_path)
    got = {}
    for line in result.stdout.splitlines():
        found = re.match(r".*misuse\.py:(\d+): error: .*\[([\w-]+)\]$", line)
        if found:
            got.setdefault(int(found.group(1)), set()).add(found.group(2))
    assert set(got) == set(expected), result.stdout
    for lineno, code in expected.items():
        assert code in got[lineno], (lineno, result.stdout)


def stub_functions(module: str):
    """(qualified name, stub function node) for every function of a stub."""
    tree = ast.parse(installed_stub(module).read_text(encoding="utf-8"))
    for node in tree.body:
        if isinstance(node, ast.ClassDef):
            for item in node.body:
                if isinstance(item, ast.FunctionDef):
                    yield f"{node.name}.{item.name}", item


def runtime_function(module: str, qualname: str):
    obj = importlib.import_module(module)
    for part in qualname.split("."):
        obj = getattr(obj, part)
    return obj


def expected_stub_text(module: str, runtime_text, default_is_none: bool) -> str:
    if runtime_text is None:
        return "Any"
    if default_is_none and not runtime_text.startswith("Optional["):
        return STUB_SPELLING[(module, runtime_text)]
    return runtime_text


@pytest.mark.parametrize("module", ["tessel.image", "tessel.http"])
def test_stub_annotations_are_the_runtime_texts(module):
    functions = list(stub_functions(module))
    assert functions
    for qualname, node in functions:
        runtime = runtime_function(module, qualname)
        annotations = runtime.__annotations__
        args = [a for a in node.args.args if a.arg != "self"]
        defaults = [None] * (len(args) - len(node.args.defaults)) + list(node.args.defaults)
        for arg, default in zip(args, defaults):
            default_is_none = isinstance(default, ast.Constant) and default.value is None
            want = expected_stub_text(module, annotations.get(arg.arg), default_is_none)
            assert ast.unparse(arg.annotation) == want, (qualname, arg.arg)
        if node.args.kwarg is not None:
            want = annotations.get(node.args.kwarg.arg, "Any")
            assert ast.unparse(node.args.kwarg.annotation) == want, (qualname, "**kwargs")
        want_return = annotations.get("return", "None")
        assert ast.unparse(node.returns) == want_return, (qualname, "return")


@pytest.mark.parametrize(
    "path",
    ["tessel/py.typed", "tessel/image.pyi", "tessel/http.pyi", "faultdefs.pyi", "faultdefs-stubs/__init__.pyi"],
)
def test_stub_files_are_installed(path):
    site = Path(importlib.util.find_spec("faultdefs").origin).parent
    assert (site / path).is_file()
