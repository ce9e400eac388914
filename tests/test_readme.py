"""Every ```python block of README.md runs, as written, in a fresh interpreter.

Each block runs in a folder holding the files it names (``photo.png``, ``icon.png``, ``a.png``,
``uploads/`` with a damaged image among good ones). What it names outside that
folder is provided as follows, by a prelude run before the block:
- the hosts ``example.com`` and ``api.example.com`` resolve to a loopback
  HTTPS server (the README's calls do not verify certificates);
- every Dask computation runs on the local synchronous scheduler, and
  ``dask.distributed.Client`` connects to nothing, so the cluster example
  runs there too;
- ``/shared/``, the cluster's shared file system, is the block's folder.
After the block, the checks below whose name the block defines are evaluated in
its namespace, so a block that runs but computes the wrong thing fails too.
"""

from __future__ import annotations

import json
import os
import re
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

from support.samples import SAMPLES, palette_with_transparent_pixels, truncated_png, write_samples
from support.server import Reply

README = Path(__file__).resolve().parent.parent / "README.md"

HOSTS = ("example.com", "api.example.com")

PRELUDE = """
import socket, sys, types

_resolve = socket.getaddrinfo
def _loopback(host, port, *args, **kwargs):
    if host in {hosts!r}:
        host, port = "127.0.0.1", {port}
    return _resolve(host, port, *args, **kwargs)
socket.getaddrinfo = _loopback

try:
    import dask.base, dask.local
except ImportError:
    pass
else:
    dask.base.get_scheduler = lambda *args, **kwargs: dask.local.get_sync
    distributed = types.ModuleType("dask.distributed")
    class Client:
        def __init__(self, address=None, **kwargs):
            self.address = address
    distributed.Client = Client
    sys.modules["dask.distributed"] = distributed
"""

# name defined by a block -> what must hold for it afterwards.
CHECKS = {
    "record": 'record["ok"] is True and record == tessel.check(open("photo.png", "rb").read())',
    "data": 'data == open("a.png", "rb").read()',
    "stream": "stream.getvalue() == data",
    "r": 'r.status_code == 200 and r.json()["method"] == "PUT" and r.json()["body"] == "name=y"',
    "verdicts": 'sorted(set(paths) - set(verdicts)) == [os.path.join("uploads", "broken.png")] and '
    "all(v == ImageTool.has_multiple_transparency(p) for p, v in verdicts.items())",
    "damaged": 'damaged == [os.path.join("uploads", "broken.png")]',
    # Every image counted, the damaged one too.
    "summary": 'sum(n for _, n in summary) == len(list(image_paths("uploads")))',
}

EPILOGUE = """
import os
for _name, _check in {checks!r}.items():
    if _name in globals():
        assert eval(_check), f"README check failed: {{_check}}"
"""


def python_blocks():
    text = README.read_text(encoding="utf-8")
    return [(text.count("\n", 0, m.start()) + 1, m.group(1)) for m in re.finditer(r"```python\n(.*?)```", text, re.S)]


@pytest.fixture
def folder(tmp_path):
    write_samples(tmp_path / "uploads")
    (tmp_path / "uploads" / "broken.png").write_bytes(truncated_png())
    (tmp_path / "icon.png").write_bytes(palette_with_transparent_pixels(6))
    (tmp_path / "photo.png").write_bytes(SAMPLES["lines.png"]())
    (tmp_path / "a.png").write_bytes(palette_with_transparent_pixels(10, size=(16, 16)))
    return tmp_path


def test_readme_has_the_blocks_it_is_known_for():
    blocks = [code for _line, code in python_blocks()]
    assert len(blocks) >= 5
    for name in CHECKS:
        assert any(re.search(rf"^\s*{name}\s*=", code, re.M) for code in blocks), name


@pytest.mark.parametrize("line, code", [pytest.param(*block, id=f"line {block[0]}") for block in python_blocks()])
def test_readme_block_runs(tls_server, folder, line, code):
    if "dask" in code:
        pytest.importorskip("dask.bag")
    tls_server.reply("/a.png", Reply(200, (folder / "a.png").read_bytes()))
    for path in ("/items", "/items/1"):
        tls_server.reply(path, Reply(200, echo=True))
    program = "\n".join(
        [
            PRELUDE.format(hosts=HOSTS, port=tls_server.port),
            code.replace("/shared/", f"{folder}/"),
            EPILOGUE.format(checks=CHECKS),
        ]
    )
    env = {k: v for k, v in os.environ.items() if "proxy" not in k.lower()}
    result = subprocess.run(
        [sys.executable, "-c", program], cwd=folder, env=env, capture_output=True, text=True, timeout=300
    )
    assert result.returncode == 0, f"README.md line {line}:\n{textwrap.indent(code, '    ')}\n{result.stderr}"
    unscripted = [(r.method, r.path) for r in tls_server.requests if r.path not in tls_server.routes]
    assert unscripted == []
    if "/items" in code:
        sent = [(r.method, r.path, r.query, r.body) for r in tls_server.requests]
        assert sent == [
            ("GET", "/items", {"page": ["1"]}, b""),
            ("POST", "/items", {}, json.dumps({"name": "x"}).encode()),
            ("PUT", "/items/1", {}, b"name=y"),
        ]


def test_demo_runs_and_ends_with_its_summary(tmp_path):
    demo = README.parent / "examples" / "demo.py"
    result = subprocess.run([sys.executable, str(demo)], cwd=tmp_path, capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stderr
    assert result.stdout.rstrip().splitlines()[-1].startswith("Demo complete:")
    assert "Traceback" not in result.stdout + result.stderr
