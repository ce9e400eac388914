"""Command line front end: ``python -m tessel check | scan | trim``.

Exit status: 0 when everything was checked, 1 when an image could not be read,
fetched, decoded or written (or a scanned file failed), 2 for a usage error,
130 when Ctrl-C stopped a check or scan early (what was checked is still
printed), 141 when the reader of stdout went away (``| head -1``).
Results go to stdout (JSON, UTF-8); diagnostics, download retries and the scan's
progress bar go to stderr, so stdout can be piped into other tools.
"""

from __future__ import annotations

import argparse
import json
import logging
import os
import re
import signal
import sys
import tempfile
import unicodedata
from typing import Any, Dict, Iterable, List, Optional, Sequence, Tuple

from . import __version__
from ._cli_pool import Interrupts, run

EXIT_OK = 0
EXIT_FAILED = 1
EXIT_USAGE = 2
# The statuses a shell reports for a command ended by SIGINT and by SIGPIPE,
# so scripts see the same as for any other tool stopped by Ctrl-C or `head`.
EXIT_INTERRUPTED = 128 + signal.SIGINT
EXIT_CLOSED_PIPE = 128 + signal.SIGPIPE

log = logging.getLogger("tessel.cli")

SCAN_FAILURE_FORMAT = "检测透明度失败 [%s]: %s"


class CliError(Exception):
    """A failure that ends a command with a message on stderr."""

    def __init__(self, message: str, status: int = EXIT_FAILED) -> None:
        super().__init__(message)
        self.status = status


def is_url(source: str) -> bool:
    # The same case-sensitive test the image methods use.
    return source.startswith(("http://", "https://"))


# The default repr of an object ends in its address ("<_io.BytesIO object at
# 0x7f...>"), which image libraries put in their messages; without it the same
# files give the same output on every run.
_ADDRESS = re.compile(r" at 0x[0-9a-fA-F]+>")


def stable_text(text: str) -> str:
    return _ADDRESS.sub(">", text)


def error_text(err: BaseException) -> str:
    return stable_text(str(err)) or type(err).__name__


def stderr_logger() -> logging.Logger:
    """Receives the download's retry lines, which would otherwise be printed to stdout."""
    return logging.getLogger("tessel.cli.download")


class StderrHandler(logging.Handler):
    """Writes the command's log lines to stderr, above the progress bar when one is drawn."""

    def emit(self, record: logging.LogRecord) -> None:
        try:
            from tqdm import tqdm  # type: ignore[import-untyped]

            # tqdm.write clears a progress bar first, so the line is not glued
            # to the bar and the bar is redrawn below it.
            tqdm.write(stable_text(self.format(record)), file=sys.stderr)
        except Exception:  # noqa: BLE001 - logging must not end the command
            self.handleError(record)


class CommandLogging:
    """While a command runs, the "tessel.cli" loggers write to stderr and no further.

    Only the command's own logger is touched: the root logger, and with it an
    embedding application's logging, is left as it is.
    """

    def __init__(self, quiet: bool) -> None:
        self.handler = StderrHandler(logging.ERROR if quiet else logging.NOTSET)
        self.handler.setFormatter(logging.Formatter("%(message)s"))

    def __enter__(self) -> None:
        self.propagate = log.propagate
        log.addHandler(self.handler)
        log.propagate = False

    def __exit__(self, *exc: object) -> None:
        log.removeHandler(self.handler)
        log.propagate = self.propagate


def read_source(source: str, retries: int, timeout: float) -> bytes:
    """The encoded bytes of a file path or URL; CliError when they cannot be had."""
    from faultdefs import ServiceError

    from .image import ImageTool

    if is_url(source):
        try:
            return ImageTool.get_img_url_bytes(
                source, max_retries=retries, base_delay=0.5, logger=stderr_logger(), timeout=timeout
            )
        except ServiceError as err:
            raise CliError(f"cannot fetch: {err.message}") from err
    try:
        with open(source, "rb") as fh:
            return fh.read()
    except FileNotFoundError as err:
        raise CliError("no such file") from err
    except IsADirectoryError as err:
        raise CliError("is a directory, not an image file") from err
    except OSError as err:
        raise CliError(f"cannot read: {err.strerror or err}") from err


# --- check ------------------------------------------------------------------


def check_one(source: str, args: argparse.Namespace) -> Dict[str, Any]:
    """All four checks for one image, as "source" plus a tessel.check record."""
    from .checks import check, unread_record

    try:
        data = read_source(source, args.retries, args.timeout)
    except CliError as err:
        return {"source": source, **unread_record(str(err))}
    record = check(data, gray_thresh=args.gray_thresh, edge_thresh=args.edge_thresh, threshold=args.threshold)
    return {"source": source, **record}


def display_width(text: str) -> int:
    return sum(2 if unicodedata.east_asian_width(ch) in "WF" else 1 for ch in text)


def pad(text: str, width: int) -> str:
    return text + " " * (width - display_width(text))


def yes_no(value: Any) -> str:
    if value is None:
        return "-"
    return "yes" if value else "no"


def table_rows(records: Iterable[Dict[str, Any]]) -> List[Tuple[str, ...]]:
    rows: List[Tuple[str, ...]] = [("SOURCE", "VALID", "PLAIN", "MULTI-TRANSP", "LINES", "DETAIL")]
    for r in records:
        plain = r.get("is_plain_gray") or {}
        lines = r.get("has_colored_lines") or {}
        detail = r.get("error") or plain.get("message", "")
        rows.append(
            (
                r["source"],
                yes_no(r.get("is_valid_image")),
                yes_no(plain.get("result")),
                yes_no(r.get("has_multiple_transparency")),
                yes_no(lines.get("has_lines")),
                detail,
            )
        )
    return rows


def render_rows(rows: Sequence[Tuple[str, ...]]) -> str:
    """Aligned columns; the last one (free text) is not padded."""
    rows = [tuple(stable_text(cell) for cell in row) for row in rows]
    widths = [max(display_width(row[i]) for row in rows) for i in range(len(rows[0]) - 1)]
    out = []
    for row in rows:
        cells = [pad(cell, w) for cell, w in zip(row, widths)] + [row[-1]]
        out.append("  ".join(cells).rstrip())
    return "\n".join(out) + "\n"


def render_table(records: Sequence[Dict[str, Any]]) -> str:
    return render_rows(table_rows(records))


def report_interrupt(command: str, done: int, total: int) -> None:
    print(f"tessel {command}: interrupted; {done} of {total} images checked", file=sys.stderr)


def cmd_check(args: argparse.Namespace) -> int:
    records: List[Dict[str, Any]] = []

    def emit(record: Dict[str, Any]) -> None:
        if not record["ok"]:
            print(f"tessel check: {record['source']}: {stable_text(str(record['error']))}", file=sys.stderr)
        if args.table:
            records.append(record)
        else:
            sys.stdout.write(json.dumps(record, ensure_ascii=False) + "\n")
            sys.stdout.flush()
            records.append({"ok": record["ok"]})

    # One image at a time, in argument order, in a worker thread: the main
    # thread only waits and prints, so Ctrl-C never lands inside a check.
    with Interrupts() as interrupts:
        run(
            lambda source: check_one(source, args),
            args.sources,
            workers=1,
            interrupts=interrupts,
            on_result=lambda _source, future: emit(future.result()),
            ordered=True,
        )
        if args.table:
            sys.stdout.write(render_table(records))
            sys.stdout.flush()
        if interrupts.requested:
            report_interrupt("check", len(records), len(args.sources))
            return EXIT_INTERRUPTED
    return EXIT_OK if all(r["ok"] for r in records) else EXIT_FAILED


# --- scan -------------------------------------------------------------------


def walked_files(directory: str, extensions: Optional[List[str]]) -> List[str]:
    """The paths batch_has_multiple_transparency would check, found the same way it finds them."""
    from .dask_recipe import DEFAULT_EXTENSIONS, image_paths

    return list(image_paths(directory, DEFAULT_EXTENSIONS if extensions is None else extensions))


def show_progress(args: argparse.Namespace) -> bool:
    if args.progress:
        return True
    return not args.quiet and sys.stderr.isatty()


def scan_table(results: Dict[str, bool], failed: Dict[str, str]) -> str:
    rows: List[Tuple[str, ...]] = [("SOURCE", "MULTI-TRANSP", "DETAIL")]
    for path in sorted({**results, **failed}):
        if path in results:
            rows.append((path, yes_no(results[path]), ""))
        else:
            rows.append((path, "-", failed[path]))
    return render_rows(rows)


def cmd_scan(args: argparse.Namespace) -> int:
    """The check of batch_has_multiple_transparency on every file of the tree, in a pool Ctrl-C can stop.

    Each file gets the very call the batch method makes for it,
    has_multiple_transparency(path, threshold=...), so the verdicts and the
    failure texts are the batch method's; the pool is the command's own so
    that an interrupt can drop the files not yet started.
    """
    for suffix in args.extensions or []:
        if not suffix.startswith("."):
            args.parser.error(f"argument --ext: suffixes start with a dot, got {suffix!r}")
    if not os.path.isdir(args.directory):
        raise CliError(f"{args.directory}: no such directory")
    # From here on Ctrl-C stops the scan, even while the image libraries load.
    with Interrupts() as interrupts:
        return scan_tree(args, interrupts)


def scan_tree(args: argparse.Namespace, interrupts: Interrupts) -> int:
    from tqdm import tqdm

    from .image import ImageTool

    def check(path: str) -> bool:
        verdict: bool = ImageTool.has_multiple_transparency(path, threshold=args.threshold)
        return verdict

    results: Dict[str, bool] = {}
    failed: Dict[str, str] = {}
    paths: List[str] = []

    def ended(path: str, future: Any) -> None:
        try:
            results[path] = future.result()
        except Exception as err:  # noqa: BLE001 - a failed file is reported, the scan goes on
            failed[path] = error_text(err)
            log.warning(SCAN_FAILURE_FORMAT, path, failed[path])
        bar.update(1)

    try:
        with interrupts.waiting():
            paths = walked_files(args.directory, args.extensions)
    except KeyboardInterrupt:
        pass
    bar = tqdm(total=len(paths), desc=args.desc, unit="img", file=sys.stderr, disable=not show_progress(args))
    with bar:
        run(check, paths, workers=args.workers, interrupts=interrupts, on_result=ended)
    interrupted = interrupts.requested
    if args.table:
        sys.stdout.write(scan_table(results, failed))
    else:
        report = {
            "directory": args.directory,
            "checked": len(results) + len(failed),
            "results": dict(sorted(results.items())),
            "failed": dict(sorted(failed.items())),
            "interrupted": interrupted,
        }
        sys.stdout.write(json.dumps(report, ensure_ascii=False, indent=2 if args.pretty else None) + "\n")
    sys.stdout.flush()
    if interrupted:
        report_interrupt("scan", len(results) + len(failed), len(paths))
        return EXIT_INTERRUPTED
    return EXIT_FAILED if failed else EXIT_OK


# --- trim -------------------------------------------------------------------


def known_formats() -> Dict[str, str]:
    """Pillow's writable formats, and the format each file suffix implies."""
    from PIL import Image

    Image.init()
    return {ext.lower(): fmt for ext, fmt in Image.registered_extensions().items() if fmt in Image.SAVE}


def output_format(args: argparse.Namespace, parser: argparse.ArgumentParser) -> str:
    from PIL import Image

    by_suffix = known_formats()
    if args.format is not None:
        fmt: str = args.format.upper()
        if fmt not in Image.SAVE:
            writable = ", ".join(sorted(set(by_suffix.values())))
            parser.error(f"argument --format: unknown image format {args.format!r} (writable: {writable})")
        return fmt
    suffix = os.path.splitext(args.output)[1].lower()
    return by_suffix.get(suffix, "PNG")


def write_atomically(path: str, data: bytes) -> None:
    """Replaces `path` only once the whole image is written."""
    directory = os.path.dirname(os.path.abspath(path))
    fd, tmp = tempfile.mkstemp(prefix=".tessel-", dir=directory)
    try:
        with os.fdopen(fd, "wb") as fh:
            fh.write(data)
        os.replace(tmp, path)
    except BaseException:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise


def cmd_trim(args: argparse.Namespace) -> int:
    from .image import ImageTool

    fmt = output_format(args, args.parser)
    try:
        data = read_source(args.source, args.retries, args.timeout)
    except CliError as err:
        raise CliError(f"{args.source}: {err}") from err
    try:
        trimmed = ImageTool.trim_transparent_edges(data, args.padding, fmt)
    except Exception as err:  # noqa: BLE001 - the image libraries raise many kinds
        raise CliError(f"cannot trim {args.source}: {type(err).__name__}: {error_text(err)}") from err
    if args.output == "-":
        sys.stdout.buffer.write(trimmed)
        sys.stdout.buffer.flush()
    else:
        try:
            write_atomically(args.output, trimmed)
        except OSError as err:
            raise CliError(f"cannot write {args.output}: {err.strerror or err}") from err
        print(f"{args.output}: {fmt}, {len(trimmed)} bytes", file=sys.stderr)
    return EXIT_OK


# --- parser -----------------------------------------------------------------


def positive_int(text: str) -> int:
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, got {value}")
    return value


def non_negative_int(text: str) -> int:
    value = int(text)
    if value < 0:
        raise argparse.ArgumentTypeError(f"must not be negative, got {value}")
    return value


def positive_float(text: str) -> float:
    value = float(text)
    if not value > 0:
        raise argparse.ArgumentTypeError(f"must be greater than 0, got {text}")
    return value


def add_fetch_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "--retries", type=positive_int, default=3, metavar="N", help="download attempts per URL (default 3)"
    )
    parser.add_argument(
        "--timeout", type=positive_float, default=20.0, metavar="SECONDS", help="download timeout (default 20)"
    )


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="tessel",
        description="Image checks and trimming from the command line.",
        epilog="Exit status: 0 all done, 1 an image failed, 2 usage error, 130 stopped by Ctrl-C, "
        "141 stdout closed by its reader.",
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    check = commands.add_parser(
        "check",
        help="check images (files or URLs)",
        description="Run is_valid_image, is_plain_gray, has_multiple_transparency and has_colored_lines "
        "on each image and print one JSON object per image (JSON lines), or a table.",
    )
    check.add_argument("sources", nargs="+", metavar="IMAGE", help="image file path or http(s) URL")
    check.add_argument("--table", action="store_true", help="print a table instead of JSON lines")
    check.add_argument("--gray-thresh", type=float, default=30.0, help="is_plain_gray gray_thresh (default 30.0)")
    check.add_argument("--edge-thresh", type=float, default=0.01, help="is_plain_gray edge_thresh (default 0.01)")
    check.add_argument(
        "--threshold", type=int, default=5, help="has_multiple_transparency palette threshold (default 5)"
    )
    add_fetch_options(check)
    check.set_defaults(handler=cmd_check, parser=check)

    scan = commands.add_parser(
        "scan",
        help="scan a directory tree for images with several transparent regions",
        description="Run has_multiple_transparency on every image of a directory tree in a thread pool, as "
        "batch_has_multiple_transparency does, and print {directory, checked, results, failed, interrupted} as "
        "JSON (or a table). Exit status 1 when any file failed; Ctrl-C stops the scan, prints what was checked "
        "and exits with 130.",
    )
    scan.add_argument("directory", help="directory to scan (recursively)")
    scan.add_argument("--threshold", type=int, default=5, help="palette threshold (default 5)")
    scan.add_argument("--workers", type=positive_int, default=4, help="worker threads (default 4)")
    scan.add_argument(
        "--ext",
        dest="extensions",
        action="append",
        metavar="SUFFIX",
        help="file suffix to include, e.g. .png (repeatable; default: common image formats)",
    )
    scan.add_argument("--desc", default="检测透明度", help="progress bar label")
    scan.add_argument("--table", action="store_true", help="print a table instead of JSON")
    scan.add_argument("--pretty", action="store_true", help="indent the JSON")
    noise = scan.add_mutually_exclusive_group()
    noise.add_argument(
        "-q", "--quiet", action="store_true", help="no progress bar and no per-file failure lines on stderr"
    )
    noise.add_argument(
        "--progress",
        action="store_true",
        help="draw the progress bar even when stderr is not a terminal (by default it is drawn only on one)",
    )
    scan.set_defaults(handler=cmd_scan, parser=scan)

    trim = commands.add_parser(
        "trim",
        help="trim transparent and white borders",
        description="Trim the transparent and pure-white border of an image, keep a margin, and write it.",
    )
    trim.add_argument("source", metavar="IMAGE", help="image file path or http(s) URL")
    trim.add_argument("output", metavar="OUTPUT", help="where to write the trimmed image ('-' for stdout)")
    trim.add_argument("--padding", type=non_negative_int, default=10, help="margin in pixels (default 10)")
    trim.add_argument(
        "--format", default=None, help="output format, e.g. PNG or WEBP (default: from OUTPUT's suffix, else PNG)"
    )
    add_fetch_options(trim)
    trim.set_defaults(handler=cmd_trim, parser=trim)
    return parser


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    # JSON is exchanged as UTF-8 whatever the locale says.
    if hasattr(sys.stdout, "reconfigure"):
        sys.stdout.reconfigure(encoding="utf-8")
    try:
        with CommandLogging(quiet=getattr(args, "quiet", False)):
            status: int = args.handler(args)
        return status
    except CliError as err:
        print(f"tessel {args.command}: {stable_text(str(err))}", file=sys.stderr)
        return err.status
    except KeyboardInterrupt:
        print(f"tessel {args.command}: interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED
    except BrokenPipeError:
        # The reader went away (`tessel check *.png | head -1`): nothing more
        # can be said on stdout, and the interpreter's last flush must not
        # complain about it either.
        discard_stdout()
        return EXIT_CLOSED_PIPE


def discard_stdout() -> None:
    try:
        fd = sys.stdout.fileno()
    except (AttributeError, ValueError, OSError):
        return
    devnull = os.open(os.devnull, os.O_WRONLY)
    try:
        os.dup2(devnull, fd)
    finally:
        os.close(devnull)


if __name__ == "__main__":
    sys.exit(main())
