"""The Dask recipe: the checks over an image tree with dask.bag on 2 worker processes."""

from __future__ import annotations

import json

import pytest

import tessel
from support.samples import SAMPLES, TRANSPARENCY, truncated_png, write_samples
from tessel.dask_recipe import check_path, checks_bag, image_paths

db = pytest.importorskip("dask.bag")


@pytest.fixture(scope="module")
def tree(tmp_path_factory):
    root = tmp_path_factory.mktemp("tree")
    write_samples(root / "a")
    write_samples(root / "b" / "c", ["palette6.png", "rgba1of20.png"])
    (root / "b" / "broken.png").write_bytes(truncated_png())
    (root / "b" / "readme.txt").write_text("skip me")
    (root / "UPPER.PNG").write_bytes(SAMPLES["rgba2of20.png"]())
    return root


def test_image_paths_walks_the_tree_like_the_batch_scan(tree):
    found = sorted(image_paths(str(tree)))
    assert len(found) == len(SAMPLES) + 2 + 1 + 1
    assert str(tree / "UPPER.PNG") in found
    assert not [p for p in found if p.endswith(".txt")]
    assert sorted(image_paths(str(tree), [".PNG"])) == found
    assert list(image_paths(str(tree), [".gif"])) == []
    with pytest.raises(FileNotFoundError):
        list(image_paths(str(tree / "missing")))


def test_check_path_records(tree):
    path = str(tree / "a" / "palette6.png")
    assert check_path(path) == {"path": path, **tessel.check(path)}
    assert check_path(path)["has_multiple_transparency"] is True
    assert check_path(path, threshold=6)["has_multiple_transparency"] is False
    broken = check_path(str(tree / "b" / "broken.png"))
    assert broken["is_valid_image"] is False and broken["error"].startswith("图片无效: ")
    missing = check_path(str(tree / "nope.png"))
    assert missing["is_valid_image"] is None and missing["error"].startswith("图片文件不存在: ")
    assert list(missing) == list(broken) == ["path", *tessel.CheckRecord.__annotations__]
    lines = check_path(str(tree / "a" / "lines.png"))
    assert lines["has_colored_lines"]["has_lines"] is True


def test_frequencies_over_a_tree_with_damaged_files(tree):
    bag = checks_bag(sorted(image_paths(str(tree))), npartitions=2)
    counts = dict(bag.pluck("has_multiple_transparency").frequencies().compute(scheduler="sync"))
    assert counts == {True: 4, False: 5, None: 1}


def test_bag_on_two_worker_processes_matches_direct_calls(tree):
    paths = sorted(image_paths(str(tree)))
    bag = checks_bag(paths, npartitions=3)
    assert bag.npartitions == 3
    records = bag.compute(scheduler="processes", num_workers=2)
    assert records == [check_path(p) for p in paths]
    by_name = {r["path"]: r for r in records}
    for name, expected in TRANSPARENCY.items():
        assert by_name[str(tree / "a" / name)]["has_multiple_transparency"] is expected
    assert by_name[str(tree / "b" / "broken.png")]["is_valid_image"] is False


def test_bag_results_stream_to_json_lines_files(tree, tmp_path):
    paths = sorted(image_paths(str(tree)))
    bag = checks_bag(paths, partition_size=4, threshold=6)
    written = bag.map(json.dumps).to_textfiles(str(tmp_path / "part-*.jsonl"), scheduler="processes", num_workers=2)
    assert len(written) == bag.npartitions == -(-len(paths) // 4)
    records = [json.loads(line) for f in sorted(tmp_path.glob("part-*.jsonl")) for line in f.read_text().splitlines()]
    assert sorted(r["path"] for r in records) == paths
    palette = [r for r in records if r["path"].endswith("palette6.png")]
    assert palette and all(r["has_multiple_transparency"] is False for r in palette)


def test_bag_of_nothing(tree):
    assert checks_bag([]).compute(scheduler="sync") == []
