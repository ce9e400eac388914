"""`python -m tessel` run as a subprocess against generated images and a loopback server."""

from __future__ import annotations

import io
import json
import subprocess
import sys
from pathlib import Path

import pytest
from PIL import Image

from support.records import good_image_record
from support.samples import SAMPLES, TRANSPARENCY, content_box, truncated_png, write_samples
from support.server import Reply, closed_port
from tessel.checks import unread_record
from tessel.image import ImageTool


def run(*args, cwd, timeout=120):
    result = subprocess.run(
        [sys.executable, "-m", "tessel", *map(str, args)],
        cwd=cwd,
        capture_output=True,
        timeout=timeout,
    )
    result.out = result.stdout.decode("utf-8", "replace")
    result.err = result.stderr.decode("utf-8", "replace")
    return result


def json_lines(text: str):
    return [json.loads(line) for line in text.splitlines()]


@pytest.fixture
def samples(tmp_path):
    return write_samples(tmp_path / "images")


# --- check ----------------------------------------------------------------


def expected_record(source: str, data: bytes) -> dict:
    return {"source": source, **good_image_record(data)}


def test_check_prints_one_json_line_per_image_in_order(samples, tmp_path):
    names = list(SAMPLES)
    result = run("check", *[samples[n] for n in names], cwd=tmp_path)
    assert result.returncode == 0, result.err
    records = json_lines(result.out)
    assert [r["source"] for r in records] == [str(samples[n]) for n in names]
    for name, record in zip(names, records):
        assert record == expected_record(str(samples[name]), samples[name].read_bytes())
        assert record["has_multiple_transparency"] is TRANSPARENCY[name]
    by_name = dict(zip(names, records))
    assert by_name["grey.png"]["is_plain_gray"]["result"] is True
    assert by_name["grey.png"]["is_plain_gray"]["message"] == "纯色图"
    assert by_name["lines.png"]["has_colored_lines"]["has_lines"] is True


def test_check_reports_invalid_and_missing_images_and_goes_on(samples, tmp_path):
    broken = tmp_path / "broken.png"
    broken.write_bytes(truncated_png())
    missing = tmp_path / "missing.png"
    result = run("check", broken, missing, samples["grey.png"], cwd=tmp_path)
    assert result.returncode == 1
    bad, absent, good = json_lines(result.out)
    assert bad["ok"] is False and bad["is_valid_image"] is False
    assert bad["error"].startswith("图片无效: ")
    assert bad["image_size"] == broken.stat().st_size
    assert absent == {"source": str(missing), **unread_record("no such file")}
    assert good["ok"] is True
    assert f"{broken}: 图片无效: " in result.err
    assert f"{missing}: no such file" in result.err


def test_check_reads_a_directory_as_a_failure(tmp_path):
    result = run("check", tmp_path, cwd=tmp_path)
    assert result.returncode == 1
    assert json_lines(result.out)[0]["error"] == "is a directory, not an image file"


def test_check_fetches_urls(server, samples, tmp_path):
    data = samples["palette6.png"].read_bytes()
    url = server.reply("/p.png", Reply(200, data))
    result = run("check", url, cwd=tmp_path)
    assert result.returncode == 0, result.err
    (record,) = json_lines(result.out)
    assert record == expected_record(url, data)
    assert len(server.requests) == 1


def test_check_unreachable_url_fails_cleanly_with_retries_on_stderr(samples, tmp_path):
    url = f"http://127.0.0.1:{closed_port()}/a.png"
    result = run("check", url, samples["grey.png"], "--retries", "2", "--timeout", "2", cwd=tmp_path)
    assert result.returncode == 1
    # stdout stays pure JSON: the download's retry lines go to stderr.
    unreachable, good = json_lines(result.out)
    assert unreachable == {"source": url, **unread_record("cannot fetch: 无效的图片资源，请确认图片链接可正常访问")}
    assert good["ok"] is True
    assert "请求发生错误" in result.err and "第 2 次重试" in result.err


def test_check_server_error_status_is_a_fetch_failure(server, tmp_path):
    url = server.reply("/gone.png", Reply(404, b"no"))
    result = run("check", url, "--retries", "1", cwd=tmp_path)
    assert result.returncode == 1
    assert json_lines(result.out)[0]["error"].startswith("cannot fetch: ")
    assert "状态码: 404" in result.err


def test_check_table(samples, tmp_path):
    broken = tmp_path / "broken.png"
    broken.write_bytes(truncated_png())
    result = run("check", "--table", samples["palette6.png"], samples["grey.png"], broken, cwd=tmp_path)
    assert result.returncode == 1
    header, *rows = result.out.splitlines()
    assert header.split() == ["SOURCE", "VALID", "PLAIN", "MULTI-TRANSP", "LINES", "DETAIL"]
    assert len(rows) == 3
    assert rows[0].split()[:5] == [str(samples["palette6.png"]), "yes", "no", "yes", "no"]
    assert rows[1].split()[:6] == [str(samples["grey.png"]), "yes", "yes", "no", "no", "纯色图"]
    assert rows[2].split()[:5] == [str(broken), "no", "-", "-", "-"]
    assert "图片无效: " in rows[2]
    # Columns line up: every row starts its second column at the same place.
    column = header.index("VALID")
    assert all(row[column - 2 : column] == "  " and row[column] != " " for row in rows)


def test_check_thresholds_reach_the_methods(samples, tmp_path):
    path = samples["palette5.png"]
    strict = json_lines(run("check", path, "--threshold", "4", cwd=tmp_path).out)[0]
    assert strict["has_multiple_transparency"] is True
    noisy = json_lines(run("check", samples["rgba2of20.png"], "--gray-thresh", "1000", cwd=tmp_path).out)[0]
    assert noisy["is_plain_gray"]["metrics"] == ImageTool.is_plain_gray(samples["rgba2of20.png"].read_bytes(), 1000)[1]


# --- scan -----------------------------------------------------------------


def test_scan_prints_results_and_succeeds(samples, tmp_path):
    (samples["grey.png"].parent / "notes.txt").write_text("not an image")
    result = run("scan", samples["grey.png"].parent, "--workers", "2", cwd=tmp_path)
    assert result.returncode == 0, result.err
    report = json.loads(result.out)
    assert report["failed"] == {} and report["interrupted"] is False
    assert report["checked"] == len(SAMPLES)
    assert report["results"] == {str(path): TRANSPARENCY[name] for name, path in sorted(samples.items())}
    assert result.err == ""  # stderr is not a terminal: no progress bar


def test_scan_gives_the_batch_methods_verdicts_and_failure_texts(samples, tmp_path, caplog):
    directory = samples["grey.png"].parent
    nested = directory / "deeper"
    nested.mkdir()
    broken = nested / "broken.PNG"
    broken.write_bytes(truncated_png())
    (nested / "text.gif").write_bytes(b"GIF89a broken")
    result = run("scan", "images", "--threshold", "1", cwd=tmp_path)
    assert result.returncode == 1
    report = json.loads(result.out)
    # The batch method over the same (relative) tree, in this process.
    with caplog.at_level("WARNING"), pytest.MonkeyPatch.context() as mp:
        mp.chdir(tmp_path)
        expected = ImageTool.batch_has_multiple_transparency("images", threshold=1)
    logged = {r.args[0]: str(r.args[1]) for r in caplog.records if r.msg == "检测透明度失败 [%s]: %s"}
    assert report["results"] == dict(sorted(expected.items()))
    assert report["failed"] == dict(sorted(logged.items()))
    assert sorted(logged) == [str(Path("images", "deeper", n)) for n in ("broken.PNG", "text.gif")]
    assert report["checked"] == len(SAMPLES) + 2
    for path, text in logged.items():
        assert f"检测透明度失败 [{path}]: {text}" in result.err
    quiet = run("scan", "images", "--threshold", "1", "--quiet", cwd=tmp_path)
    assert quiet.returncode == 1 and quiet.err == "" and json.loads(quiet.out) == report


def test_scan_extension_filter(samples, tmp_path):
    directory = samples["grey.png"].parent
    (directory / "other.gif").write_bytes(b"GIF89a broken")
    result = run("scan", directory, "--ext", ".GIF", cwd=tmp_path)
    assert result.returncode == 1
    report = json.loads(result.out)
    assert report["results"] == {} and list(report["failed"]) == [str(directory / "other.gif")]


def test_scan_missing_directory(tmp_path):
    result = run("scan", tmp_path / "nope", cwd=tmp_path)
    assert result.returncode == 1
    assert result.out == ""
    assert "no such directory" in result.err


# --- trim -----------------------------------------------------------------


def test_trim_writes_the_trimmed_image(tmp_path):
    source = tmp_path / "in.png"
    source.write_bytes(content_box((100, 50), (10, 5, 20, 10)))
    out = tmp_path / "out.png"
    result = run("trim", source, out, cwd=tmp_path)
    assert result.returncode == 0, result.err
    with Image.open(out) as image:
        assert (image.format, image.size, image.mode) == ("PNG", (30, 20), "RGBA")
    assert out.read_bytes() == ImageTool.trim_transparent_edges(source.read_bytes())


@pytest.mark.parametrize(
    "output, options, fmt, size",
    [
        ("out.webp", [], "WEBP", (14, 9)),
        ("out.bin", ["--format", "webp"], "WEBP", (14, 9)),
        ("out.bin", [], "PNG", (14, 9)),
        ("out.png", ["--padding", "0"], "PNG", (10, 5)),
        ("out.tif", ["--padding", "500"], "TIFF", (100, 50)),
    ],
)
def test_trim_format_and_padding(tmp_path, output, options, fmt, size):
    source = tmp_path / "in.png"
    source.write_bytes(content_box((100, 50), (10, 5, 20, 10)))
    target = tmp_path / output
    result = run("trim", source, target, "--padding", "2", *options, cwd=tmp_path)
    assert result.returncode == 0, result.err
    with Image.open(target) as image:
        assert (image.format, image.size) == (fmt, size)


def test_trim_to_stdout_from_a_url(server, tmp_path):
    url = server.reply("/box.png", Reply(200, content_box((40, 40), (0, 0, 4, 4))))
    result = run("trim", url, "-", "--padding", "1", cwd=tmp_path)
    assert result.returncode == 0, result.err
    with Image.open(io.BytesIO(result.stdout)) as image:
        assert image.size == (5, 5)


@pytest.mark.parametrize(
    "make_source, options, message",
    [
        (lambda d: d / "missing.png", [], "missing.png: no such file"),
        (lambda d: d, [], "is a directory"),
        (lambda d: write(d / "bad.png", b"not an image"), [], "cannot trim"),
        (lambda d: write(d / "ok.png", content_box()), ["--format", "JPEG"], "cannot trim"),
    ],
)
def test_trim_failures_leave_no_output(tmp_path, make_source, options, message):
    source = make_source(tmp_path)
    target = tmp_path / "result.out"
    result = run("trim", source, target, *options, cwd=tmp_path)
    assert result.returncode == 1
    assert message in result.err
    assert not target.exists()
    assert not [p for p in tmp_path.iterdir() if p.name.startswith(".tessel-")]


def write(path: Path, data: bytes) -> Path:
    path.write_bytes(data)
    return path


def test_trim_unwritable_output(tmp_path):
    source = write(tmp_path / "ok.png", content_box())
    result = run("trim", source, tmp_path / "no-dir" / "x.png", cwd=tmp_path)
    assert result.returncode == 1
    assert "cannot write" in result.err


# --- usage ----------------------------------------------------------------


@pytest.mark.parametrize(
    "args, complaint",
    [
        ([], "required"),
        (["bogus"], "invalid choice"),
        (["check"], "required"),
        (["check", "x.png", "--retries", "0"], "--retries"),
        (["check", "x.png", "--timeout", "-1"], "--timeout"),
        (["check", "x.png", "--threshold", "five"], "--threshold"),
        (["scan", ".", "--unknown-flag"], "unrecognized arguments"),
        (["scan", ".", "--ext", "png"], "--ext"),
        (["scan", ".", "--workers", "0"], "--workers"),
        (["scan", ".", "-q", "--progress"], "not allowed with"),
        (["trim", "a.png"], "required"),
        (["trim", "a.png", "b.png", "--padding", "-1"], "--padding"),
        (["trim", "a.png", "b.png", "--format", "NOPE"], "unknown image format"),
    ],
)
def test_bad_usage_exits_2(tmp_path, args, complaint):
    result = run(*args, cwd=tmp_path)
    assert result.returncode == 2
    assert result.out == ""
    assert "usage: tessel" in result.err and complaint in result.err


@pytest.mark.parametrize("command", [[], ["check"], ["scan"], ["trim"]])
def test_help_everywhere(tmp_path, command):
    result = run(*command, "--help", cwd=tmp_path)
    assert result.returncode == 0
    assert result.out.startswith("usage: tessel" + (" " + command[0] if command else ""))


def test_version(tmp_path):
    import tessel

    result = run("--version", cwd=tmp_path)
    assert (result.returncode, result.out.strip()) == (0, f"tessel {tessel.__version__}")


# --- pipelines: progress bar, tables, closed pipes, Ctrl-C -----------------


def run_on_terminal(*args, cwd):
    """Runs the command with stderr on a pseudo-terminal; returns (status, stdout, terminal text)."""
    import fcntl
    import os
    import pty
    import struct
    import termios

    leader, follower = pty.openpty()
    # A new pseudo-terminal is 0 columns wide, which leaves no room for a bar.
    fcntl.ioctl(follower, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 100, 0, 0))
    try:
        proc = subprocess.Popen(
            [sys.executable, "-m", "tessel", *map(str, args)], cwd=cwd, stdout=subprocess.PIPE, stderr=follower
        )
        os.close(follower)
        out, _ = proc.communicate(timeout=120)
        seen = b""
        while True:
            try:
                chunk = os.read(leader, 65536)
            except OSError:  # EIO: the terminal's last writer is gone
                break
            if not chunk:
                break
            seen += chunk
    finally:
        os.close(leader)
    return proc.returncode, out.decode(), seen.decode("utf-8", "replace")


@pytest.mark.parametrize(
    "options, terminal, bar",
    [
        ([], False, False),
        ([], True, True),
        (["--quiet"], True, False),
        (["--progress"], False, True),
    ],
)
def test_scan_progress_bar_only_on_a_terminal_or_when_asked(samples, tmp_path, options, terminal, bar):
    broken = samples["grey.png"].parent / "broken.png"
    broken.write_bytes(truncated_png())
    args = ("scan", samples["grey.png"].parent, "--desc", "SCANNING", *options)
    if terminal:
        status, out, err = run_on_terminal(*args, cwd=tmp_path)
    else:
        result = run(*args, cwd=tmp_path)
        status, out, err = result.returncode, result.out, result.err
    assert status == 1
    assert json.loads(out)["checked"] == len(SAMPLES) + 1
    assert (f"{len(SAMPLES) + 1}/{len(SAMPLES) + 1}" in err and "SCANNING" in err) is bar
    # The failure line stands on a line of its own, never glued to a bar frame.
    failure = f"检测透明度失败 [{broken}]"
    assert any(line.startswith(failure) for line in err.replace("\r", "\n").splitlines()) is ("--quiet" not in options)


def test_scan_table(samples, tmp_path):
    broken = samples["grey.png"].parent / "broken.png"
    broken.write_bytes(truncated_png())
    report = json.loads(run("scan", broken.parent, cwd=tmp_path).out)
    result = run("scan", "--table", broken.parent, cwd=tmp_path)
    assert result.returncode == 1
    header, *rows = result.out.splitlines()
    assert header.split() == ["SOURCE", "MULTI-TRANSP", "DETAIL"]
    expected = {path: ("yes" if verdict else "no") for path, verdict in report["results"].items()}
    expected[str(broken)] = "-"
    assert [row.split()[:2] for row in rows] == [[path, mark] for path, mark in sorted(expected.items())]
    assert rows[[r.split()[0] for r in rows].index(str(broken))].endswith(report["failed"][str(broken)])


@pytest.mark.parametrize(
    "command",
    [
        ["check"],
        ["check", "--table"],
        ["scan", "."],
        ["scan", ".", "--pretty"],
        ["scan", ".", "--table"],
        ["trim", "-"],
    ],
    ids=" ".join,
)
def test_a_closed_stdout_ends_the_command_quietly_with_141(samples, tmp_path, command):
    directory = samples["grey.png"].parent
    args = {"check": [*command, *samples.values()], "scan": command, "trim": ["trim", samples["palette6.png"], "-"]}
    proc = subprocess.Popen(
        [sys.executable, "-m", "tessel", *map(str, args[command[0]])],
        cwd=directory,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
    )
    proc.stdout.close()  # the reader is gone before the first byte is written
    _, err = proc.communicate(timeout=120)
    assert proc.returncode == 141
    assert err.decode() == ""


def test_check_piped_into_head_stops_at_the_closed_pipe(samples, tmp_path):
    # Enough records to overflow the pipe's buffer, so the command is still
    # writing when head has gone.
    sources = [samples["lines.png"]] * 400
    check = subprocess.Popen(
        [sys.executable, "-m", "tessel", "check", *map(str, sources)],
        cwd=tmp_path,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
    )
    head = subprocess.Popen(["head", "-1"], stdin=check.stdout, stdout=subprocess.PIPE)
    check.stdout.close()
    first, _ = head.communicate(timeout=120)
    _, err = check.communicate(timeout=120)
    assert json_lines(first.decode()) == [expected_record(str(sources[0]), sources[0].read_bytes())]
    assert (check.returncode, err.decode()) == (141, "")


@pytest.fixture(scope="module")
def slow_tree(tmp_path_factory):
    """200 copies of an image that takes tens of milliseconds to check, in nested folders."""
    import numpy as np

    side = 1000
    pixels = np.zeros((side, side, 4), np.uint8)
    pixels[..., 0] = (np.arange(side) % 251)[None, :]
    pixels[side // 10 :, :, 3] = 255
    buf = io.BytesIO()
    Image.fromarray(pixels, "RGBA").save(buf, "PNG", compress_level=1)
    root = tmp_path_factory.mktemp("slow")
    paths = []
    for i in range(200):
        path = root / f"d{i % 7}" / f"{i:03}.png"
        path.parent.mkdir(exist_ok=True)
        path.write_bytes(buf.getvalue())
        paths.append(path)
    return root, paths


# The command as a shell's foreground job gets it: with Python's own SIGINT
# handler. A job started in the background (as CI runners and nohup do) runs
# with SIGINT ignored, which the command rightly leaves ignored.
INTERRUPTIBLE_TESSEL = [
    sys.executable,
    "-c",
    "import runpy, signal, sys; signal.signal(signal.SIGINT, signal.default_int_handler); "
    "sys.argv[0] = 'tessel'; runpy.run_module('tessel', run_name='__main__')",
]


def interrupt_when(proc, stream, started) -> bytes:
    """Sends SIGINT once `started(text so far)` holds for `stream`; returns what the stream had said by then."""
    import signal

    seen = b""
    while not started(seen.decode("utf-8", "replace")):
        chunk = stream.read1(4096)
        assert chunk, "the command ended before it got going"
        seen += chunk
    proc.send_signal(signal.SIGINT)
    return seen


@pytest.mark.parametrize(
    "command",
    [["check", "bad.png", "noise.gif"], ["check", "--table", "bad.png"], ["scan", "."], ["trim", "bad.png", "out.png"]],
    ids=" ".join,
)
def test_error_texts_are_the_same_on_every_run(tmp_path, command):
    (tmp_path / "bad.png").write_bytes(b"not an image at all")
    (tmp_path / "noise.gif").write_bytes(bytes(range(256)) * 3)
    first, second = run(*command, cwd=tmp_path), run(*command, cwd=tmp_path)
    assert first.returncode == 1
    # (The scan's failure lines come in completion order.)
    assert (first.out, sorted(first.err.splitlines())) == (second.out, sorted(second.err.splitlines()))
    assert "cannot identify image file" in first.out + first.err
    assert " at 0x" not in first.out + first.err


def test_main_logs_only_through_its_own_logger_and_restores_what_it_set(samples, capsys, caplog):
    import logging
    import signal

    from tessel import cli

    broken = samples["grey.png"].parent / "broken.png"
    broken.write_bytes(truncated_png())
    root_handlers, sigint = list(logging.getLogger().handlers), signal.getsignal(signal.SIGINT)
    with caplog.at_level(logging.DEBUG):
        assert cli.main(["scan", str(broken.parent), "--workers", "1"]) == 1
    # The failure line went to stderr, not to the host application's root logger.
    assert f"检测透明度失败 [{broken}]" in capsys.readouterr().err
    assert [r for r in caplog.records if r.name == "root" or r.name.startswith("tessel")] == []
    assert logging.getLogger().handlers == root_handlers
    own = logging.getLogger("tessel.cli")
    assert (own.handlers, own.propagate, signal.getsignal(signal.SIGINT)) == ([], True, sigint)


def test_ctrl_c_stops_a_scan_and_prints_what_was_checked(slow_tree, tmp_path):
    import re

    root, paths = slow_tree
    proc = subprocess.Popen(
        [*INTERRUPTIBLE_TESSEL, "scan", root, "--workers", "2", "--progress", "--desc", "S"],
        cwd=tmp_path,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
    )
    progress = lambda text: any(int(n) >= 2 for n in re.findall(r"(\d+)/200", text))  # noqa: E731
    seen = interrupt_when(proc, proc.stderr, progress)
    out, err = proc.communicate(timeout=10)  # a generous bound: the stop itself takes a check or two
    assert proc.returncode == 130
    report = json.loads(out)
    assert report["interrupted"] is True and report["failed"] == {}
    verdict = ImageTool.has_multiple_transparency(str(paths[0]))
    assert set(report["results"].values()) == {verdict}
    assert set(report["results"]) <= {str(p) for p in paths}
    # The queued files were dropped: only the ones already running finished.
    assert 2 <= report["checked"] < len(paths) // 2
    assert f"interrupted; {report['checked']} of {len(paths)} images checked" in (seen + err).decode()
    assert "Traceback" not in (seen + err).decode()


def test_ctrl_c_stops_a_check_after_the_running_image(slow_tree, tmp_path):
    _root, paths = slow_tree
    proc = subprocess.Popen(
        [*INTERRUPTIBLE_TESSEL, "check", *map(str, paths)],
        cwd=tmp_path,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
    )
    seen = interrupt_when(proc, proc.stdout, lambda text: "\n" in text)
    out, err = proc.communicate(timeout=10)
    assert proc.returncode == 130
    records = json_lines((seen + out).decode())
    assert 1 <= len(records) < len(paths) // 2
    assert [r["source"] for r in records] == [str(p) for p in paths[: len(records)]]
    assert all(r["ok"] for r in records)
    assert err.decode() == f"tessel check: interrupted; {len(records)} of {len(paths)} images checked\n"
