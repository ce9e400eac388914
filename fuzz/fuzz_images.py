"""Coverage-guided fuzzing of every ImageTool method that takes an image.

Each input is handed to every image method as raw bytes, as a file path and,
where the method takes one, as a BytesIO; the batch scan gets a directory that
holds the input as its only file. Any Python exception is an acceptable
answer to garbage. A crash, an abort, a sanitizer report or an input that runs
longer than the fuzzer's -timeout is a finding.

    python fuzz/fuzz_images.py [libFuzzer flags] [CORPUS_DIR ...]

Without a corpus directory the seeds are generated into
build/fuzz/images (kept between runs so that what the fuzzer learns is kept).
"""

from __future__ import annotations

import io
import os
import sys
from pathlib import Path

import atheris

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import sandbox  # noqa: E402

sandbox.silence_opencv()

# Pillow's format parsers are Python code: instrument them so that the fuzzer
# sees which header branches an input reaches. Image.init() loads every plugin
# while instrumentation is on.
with atheris.instrument_imports(include=["PIL"]):
    from PIL import Image

    Image.init()

import tessel.image  # noqa: E402

ImageTool = tessel.image.ImageTool

# Variety for the non-image parameters, picked by input length so that an
# input always gets the same arguments (reproducible findings).
_FORMATS = ("PNG", "WEBP", "TIFF", "BMP", "GIF", "JPEG")
_PADDINGS = (0, 1, 10, -3, 1000)
_THRESHOLDS = (5, 0, -1, 1 << 40)


def _calls(data: bytes, path: str):
    """(label, thunk) for every image method and every source form it takes."""
    n = len(data)
    fmt = _FORMATS[n % len(_FORMATS)]
    padding = _PADDINGS[n % len(_PADDINGS)]
    threshold = _THRESHOLDS[n % len(_THRESHOLDS)]
    for label, source in (("bytes", lambda: data), ("path", lambda: path), ("stream", lambda: io.BytesIO(data))):
        stream_form = label == "stream"
        if not stream_form:
            yield "is_plain_gray/" + label, lambda s=source: ImageTool.is_plain_gray(s())
            yield "is_valid_image/" + label, lambda s=source: ImageTool.is_valid_image(s(), task_id="fuzz")
        yield "has_multiple_transparency/" + label, lambda s=source: ImageTool.has_multiple_transparency(
            s(), threshold=threshold
        )
        yield "trim_transparent_edges/" + label, lambda s=source: ImageTool.trim_transparent_edges(
            s(), padding, fmt
        )
        yield "has_colored_lines/" + label, lambda s=source: ImageTool.has_colored_lines(s())
    yield "batch_has_multiple_transparency", lambda: ImageTool.batch_has_multiple_transparency(
        os.path.dirname(path), threshold=threshold, max_workers=2
    )


class Harness:
    def __init__(self, workdir: Path) -> None:
        self.dir = workdir / "scan"
        self.dir.mkdir(parents=True, exist_ok=True)
        self.path = str(self.dir / "input.png")

    def __call__(self, data: bytes) -> None:
        with open(self.path, "wb") as fh:
            fh.write(data)
        with sandbox.muted_stdout():
            for _label, thunk in _calls(data, self.path):
                try:
                    thunk()
                except Exception:
                    pass  # any Python exception is a legitimate answer


def _corpus_args(argv):
    """Adds the generated seed directory unless the caller named corpus dirs."""
    work = Path(os.environ.get("FUZZ_WORK", HERE.parent / "build" / "fuzz")).resolve()
    flags = [a for a in argv[1:] if a.startswith("-")]
    # The harness chdirs into a scratch directory: make every path absolute.
    dirs = [str(Path(a).resolve()) for a in argv[1:] if not a.startswith("-")]
    if not dirs:
        seed_dir = work / "images"
        if not seed_dir.is_dir() or not any(seed_dir.iterdir()):
            import corpus  # after instrumentation: it imports Pillow too

            corpus.write(seed_dir)
        dirs = [str(seed_dir)]
    (work / "artifacts").mkdir(parents=True, exist_ok=True)
    defaults = [
        "-timeout=10",
        "-rss_limit_mb=4096",
        "-max_len=65536",
        f"-artifact_prefix={work / 'artifacts'}/images-",
    ]
    given = {f.split("=")[0] for f in flags}
    flags += [d for d in defaults if d.split("=")[0] not in given]
    return [argv[0]] + flags + dirs


def main() -> None:
    argv = _corpus_args(sys.argv)
    sandbox.prepare(tessel.image)
    harness = Harness(sandbox.scratch_dir())
    atheris.Setup(argv, harness)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
