import concurrent.futures
import logging
import os
import sys

import pytest
import tqdm as tqdm_package
from PIL import Image

import tessel.image
from support.transparency import encode, palette, rgba_with
from tessel.image import ImageTool

scan = ImageTool.batch_has_multiple_transparency


def write(path, data):
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(data)
    return str(path)


@pytest.fixture
def tree(tmp_path):
    """A nested tree: which files a scan must pick up, and which it must skip."""
    root = tmp_path / "imgs"
    picked = [
        write(root / "SCAN.PNG", rgba_with(20, 2)),
        write(root / "a" / "plain.jpg", encode(Image.new("RGB", (8, 8)), "JPEG")),
        write(root / "a" / "b" / "deep.Png", palette(6, transparency=1)),
        write(root / "a" / "b" / "photo.tar.png", palette(5, transparency=1)),
        write(root / "c" / "x.TIFF", rgba_with(20, 1)),
        write(root / "c" / "y.webp", encode(Image.new("RGBA", (4, 4), (0, 0, 0, 0)), "WEBP")),
    ]
    skipped = [
        write(root / ".png", rgba_with(20, 2)),
        write(root / "a" / "photo.png.bak", rgba_with(20, 2)),
        write(root / "c" / "notes.txt", b"text"),
        write(root / "c" / "noext", rgba_with(20, 2)),
    ]
    return str(root), picked, skipped


class RecordingBar:
    """Stands in for tqdm.tqdm, recording how the scan drives it."""

    instances = []

    def __init__(self, *args, **kwargs):
        self.args, self.kwargs = args, kwargs
        self.updates = []
        self.exit_args = None
        self.suppress = False
        RecordingBar.instances.append(self)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.exit_args = exc
        return self.suppress

    def update(self, n):
        self.updates.append(n)


@pytest.fixture
def bar(monkeypatch):
    RecordingBar.instances = []
    monkeypatch.setattr(tqdm_package, "tqdm", RecordingBar)
    return RecordingBar


class RecordingExecutor(concurrent.futures.ThreadPoolExecutor):
    instances = []

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.init_kwargs = kwargs
        self.submitted = []
        self.exit_args = None
        RecordingExecutor.instances.append(self)

    def submit(self, fn, *args, **kwargs):
        self.submitted.append((fn, args, kwargs))
        return super().submit(fn, *args, **kwargs)

    def __exit__(self, *exc):
        self.exit_args = exc
        return super().__exit__(*exc)


@pytest.fixture
def executor(monkeypatch):
    RecordingExecutor.instances = []
    monkeypatch.setattr(tessel.image, "ThreadPoolExecutor", RecordingExecutor)
    return RecordingExecutor


# --- what is scanned -------------------------------------------------------------


@pytest.mark.parametrize("workers", [1, 2, 4])
def test_scan_finds_matching_files_and_matches_single_checks(tree, workers):
    root, picked, skipped = tree
    result = scan(root, max_workers=workers)
    assert sorted(result) == sorted(picked)
    assert result == {p: ImageTool.has_multiple_transparency(p) for p in picked}
    assert all(type(v) is bool for v in result.values())


@pytest.mark.parametrize("threshold", [4, 5, 6, -1])
def test_threshold_reaches_every_check(tree, threshold):
    root, picked, _ = tree
    result = scan(root, threshold=threshold)
    assert result == {p: ImageTool.has_multiple_transparency(p, threshold=threshold) for p in picked}


def test_submission_follows_walk_order(tree, executor):
    root, picked, _ = tree
    scan(root)
    walked = [
        os.path.join(r, f)
        for r, _, files in os.walk(root)
        for f in files
        if os.path.splitext(f)[1].lower() in {".png", ".jpg", ".tiff", ".webp"}
    ]
    (pool,) = executor.instances
    assert [args for _, args, _ in pool.submitted] == [(p,) for p in walked]
    assert pool.init_kwargs == {"max_workers": 4}
    assert pool.exit_args == (None, None, None)


@pytest.mark.parametrize(
    "extensions, names",
    [
        ([".PNG"], {"SCAN.PNG", "deep.Png", "photo.tar.png"}),
        ([".tiff", ".Jpg"], {"x.TIFF", "plain.jpg"}),
        (["png"], set()),
        ([], set()),
        ([".webp", ".TIF"], {"y.webp"}),
        ([""], {"noext", ".png"}),
    ],
)
def test_given_extensions_are_lower_cased_and_dotted(tree, extensions, names):
    root, _, _ = tree
    given = list(extensions)
    result = scan(root, extensions=given)
    assert {os.path.basename(p) for p in result} == names
    assert given == extensions  # the caller's list is not changed


@pytest.mark.parametrize(
    "extensions, message",
    [
        ([".png", 5], "Expected str, got int"),
        ([".png", None], "Expected str, got NoneType"),
        ([b".png"], "Expected str, got bytes"),
        ([type("S", (str,), {})(".png")], "Expected str, got S"),
    ],
)
def test_extension_items_must_be_exact_str_before_any_walk(tree, monkeypatch, extensions, message):
    root, _, _ = tree
    monkeypatch.setattr(os, "walk", lambda *a: pytest.fail("walked"))
    with pytest.raises(TypeError) as info:
        scan(root, extensions=extensions)
    assert str(info.value) == message


def test_extensions_container_must_be_a_list(tree):
    root, _, _ = tree
    with pytest.raises(TypeError) as info:
        scan(root, extensions=(".png",))
    assert str(info.value) == "Argument 'extensions' has incorrect type (expected list, got tuple)"

    class Suffixes(list):
        pass

    with pytest.raises(TypeError) as info:
        scan(root, extensions=Suffixes([".png"]))
    assert str(info.value) == "Argument 'extensions' has incorrect type (expected list, got Suffixes)"
    assert len(getattr(info.value, "__notes__", [])) == 1


def test_relative_directory_gives_relative_keys(tmp_path, monkeypatch):
    write(tmp_path / "rel" / "sub" / "a.png", rgba_with(20, 2))
    monkeypatch.chdir(tmp_path)
    assert scan("rel") == {os.path.join("rel", "sub", "a.png"): True}


def test_empty_tree_still_runs_the_executor_and_bar(tmp_path, bar, executor):
    assert scan(str(tmp_path)) == {}
    (pbar,) = bar.instances
    assert pbar.kwargs == {"total": 0, "desc": "检测透明度", "unit": "img"}
    assert pbar.exit_args == (None, None, None)
    assert executor.instances[0].exit_args == (None, None, None)


# --- failures ------------------------------------------------------------------------


@pytest.mark.parametrize("kind", ["missing", "file"])
def test_directory_must_exist(tmp_path, kind):
    target = tmp_path / "x"
    if kind == "file":
        target.write_bytes(b"")
    with pytest.raises(FileNotFoundError) as info:
        scan(str(target))
    assert info.value.args == ("目录不存在: " + str(target),)


def test_missing_tqdm_fails_before_the_directory_is_looked_at(tmp_path, monkeypatch):
    monkeypatch.setitem(sys.modules, "tqdm", None)
    with pytest.raises(ImportError):
        scan(str(tmp_path / "missing"))


def test_tqdm_without_the_name_is_an_import_error(tmp_path, monkeypatch):
    monkeypatch.delattr(tqdm_package, "tqdm")
    with pytest.raises(ImportError) as info:
        scan(str(tmp_path))
    with pytest.raises(ImportError) as direct:
        from tqdm import tqdm  # noqa: F401
    assert str(info.value) == str(direct.value)
    assert (info.value.name, info.value.path) == (direct.value.name, direct.value.path)


def test_zero_workers_is_the_executors_error_after_the_walk(tree, monkeypatch):
    root, _, _ = tree
    walked = []
    real_walk = os.walk
    monkeypatch.setattr(os, "walk", lambda top: walked.append(top) or real_walk(top))
    monkeypatch.setattr(ImageTool, "has_multiple_transparency", staticmethod(lambda *a, **k: pytest.fail("opened")))
    with pytest.raises(ValueError) as info:
        scan(root, max_workers=0)
    with pytest.raises(ValueError) as direct:
        concurrent.futures.ThreadPoolExecutor(max_workers=0)
    assert str(info.value) == str(direct.value)
    assert walked == [root]


def test_corrupt_file_is_logged_once_and_left_out(tree, caplog):
    root, picked, _ = tree
    corrupt = write(tmp := __import__("pathlib").Path(root) / "a" / "broken.png", b"\x89PNG not really")
    with pytest.raises(Exception) as direct:
        ImageTool.has_multiple_transparency(corrupt)
    with caplog.at_level(logging.WARNING):
        result = scan(root, max_workers=2)
    assert sorted(result) == sorted(picked)
    records = [r for r in caplog.records if r.levelno == logging.WARNING]
    assert len(records) == 1
    assert records[0].name == "root"
    assert records[0].args[0] == corrupt
    assert records[0].getMessage() == f"检测透明度失败 [{corrupt}]: {direct.value}"


def test_bar_gets_total_desc_unit_and_one_update_per_file(tree, bar, caplog):
    root, picked, _ = tree
    write(__import__("pathlib").Path(root) / "bad.png", b"junk")
    scan(root, desc="扫描")
    (pbar,) = bar.instances
    assert pbar.args == ()
    assert pbar.kwargs == {"total": len(picked) + 1, "desc": "扫描", "unit": "img"}
    assert pbar.updates == [1] * (len(picked) + 1)
    assert pbar.exit_args == (None, None, None)


def test_real_progress_bar_on_stderr(tree, capsys):
    root, picked, _ = tree
    scan(root, desc="进度")
    err = capsys.readouterr().err
    assert "进度" in err and f"{len(picked)}/{len(picked)}" in err and "img/s" in err


def worker_raising(exc_type, victim):
    real = ImageTool.has_multiple_transparency

    def check(path, threshold=5):
        if path == victim:
            raise exc_type("stop")
        return real(path, threshold=threshold)

    return staticmethod(check)


def test_non_exception_in_a_worker_leaves_after_advancing(tree, bar, executor, monkeypatch, caplog):
    root, picked, _ = tree
    monkeypatch.setattr(ImageTool, "has_multiple_transparency", worker_raising(SystemExit, picked[0]))
    with pytest.raises(SystemExit):
        scan(root, max_workers=1)
    (pbar,) = bar.instances
    assert pbar.updates and pbar.updates == [1] * len(pbar.updates)
    assert pbar.exit_args[0] is SystemExit and isinstance(pbar.exit_args[1], SystemExit)
    assert executor.instances[0].exit_args[0] is SystemExit
    assert not caplog.records


def test_bar_suppressing_the_exception_lets_the_scan_return(tree, bar, monkeypatch):
    root, picked, _ = tree
    monkeypatch.setattr(ImageTool, "has_multiple_transparency", worker_raising(SystemExit, picked[0]))
    real_init = RecordingBar.__init__

    def init(self, *a, **k):
        real_init(self, *a, **k)
        self.suppress = True

    monkeypatch.setattr(RecordingBar, "__init__", init)
    result = scan(root, max_workers=1)
    assert picked[0] not in result


def test_failing_log_call_propagates_with_context(tree, bar, monkeypatch):
    root, _, _ = tree
    corrupt = write(__import__("pathlib").Path(root) / "bad.png", b"junk")

    def broken_warning(*args):
        raise RuntimeError("log down")

    monkeypatch.setattr(logging, "warning", broken_warning)
    with pytest.raises(RuntimeError, match="log down") as info:
        scan(root, extensions=[".png"], max_workers=1)
    assert isinstance(info.value.__context__, Image.UnidentifiedImageError)
    assert corrupt in str(info.value.__context__)
    (pbar,) = bar.instances
    assert pbar.updates[-1] == 1 and pbar.exit_args[0] is RuntimeError


# --- the per-file task -----------------------------------------------------------------


def test_check_is_a_fresh_inner_function(tree, executor):
    root, picked, _ = tree
    scan(root, threshold=4)
    scan(root, threshold=4)
    first, second = (pool.submitted[0][0] for pool in executor.instances)
    assert first is not second
    assert first.__name__ == "_check"
    assert first.__qualname__ == "ImageTool.batch_has_multiple_transparency.<locals>._check"
    assert first.__annotations__ == {"filepath": "str", "return": "Tuple[str, bool]"}
    assert first.__module__ == "tessel.image"
    path = picked[2]  # the palette image with 6 transparent pixels
    assert first(path) == (path, True)
    assert first(filepath=path) == (path, True)
    with pytest.raises(TypeError, match="Argument 'filepath' has incorrect type \\(expected str, got bytes\\)"):
        first(path.encode())


def test_check_looks_image_tool_up_each_time(tree, executor, monkeypatch):
    root, picked, _ = tree
    scan(root, threshold=7)
    fn = executor.instances[0].submitted[0][0]
    seen = []
    monkeypatch.setattr(ImageTool, "has_multiple_transparency", staticmethod(lambda p, **k: seen.append((p, k)) or 1))
    assert fn("any") == ("any", 1)
    assert seen == [("any", {"threshold": 7})]


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"directory": None}, "Argument 'directory' has incorrect type (expected str, got NoneType)"),
        ({"threshold": "5"}, "Argument 'threshold' has incorrect type (expected int, got str)"),
        ({"max_workers": None}, "Argument 'max_workers' has incorrect type (expected int, got NoneType)"),
        ({"desc": None}, "Argument 'desc' has incorrect type (expected str, got NoneType)"),
    ],
)
def test_argument_types(tmp_path, kwargs, message):
    args = {"directory": str(tmp_path), **kwargs}
    with pytest.raises(TypeError) as info:
        scan(**args)
    assert str(info.value) == message
