#!/usr/bin/env python3
"""Side-by-side benchmark of tessel against the plain Python baseline and the
decode floor, on generated images (and optionally a corpus directory).

For every image method and image the three contenders run alternately in one
process; the report gives, per size bucket, the median milliseconds per
image, the ratio to the floor and to the baseline, and the peak RSS growth per
pixel on the largest image (each contender in a fresh process). It checks
that tessel and the baseline agree on every image and prints any difference,
then measures the batch scan and the two HTTP paths. Every goal is printed
with a met / NOT MET mark. Nothing is asserted: the exit status is 0 whatever
the figures.

Usage: run.py [--quick] [--corpus DIR] [--only KEY[,KEY...]]
"""

from __future__ import annotations

import argparse
import contextlib
import gc
import io
import json
import logging
import math
import os
import statistics
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass, field
from typing import Any, Callable, Dict, List, Optional, Tuple

HERE = os.path.dirname(os.path.abspath(__file__))
if HERE not in sys.path:
    sys.path.insert(0, HERE)

import requests  # noqa: E402

import contenders  # noqa: E402
import floors  # noqa: E402
import images  # noqa: E402
from contenders import Method  # noqa: E402

TINY_FLOOR_GOAL = 2.0  # every method, images of at most 64²
BATCH_SCALING_GOAL = 1.3  # 1 worker / 2 workers
BATCH_FLOOR_GOAL = 1.5  # tessel scan / floor scan, both with 2 workers
HTTP_CLIENT_GOAL = 1.05
URL_IO_GOAL = 1.1
SAMPLE_SECONDS = 0.004  # one timing sample repeats a call until about this long


@dataclass
class Settings:
    quick: bool
    budget: List[float]  # seconds of timing per image, per bucket
    min_rounds: int
    max_rounds: int
    baseline_repeat_limit: float  # baselines slower than this run once (no goal needs them)
    target: float  # seconds the whole run should take
    batch_files: int


FULL = Settings(False, [0.25, 0.35, 0.7, 1.4, 2.5, 4.0], 3, 31, 0.25, 270.0, 300)
QUICK = Settings(True, [0.1, 0.12, 0.25, 0.5, 0.9, 1.5], 2, 15, 0.1, 60.0, 150)

# Rough share of the run each stage takes on an idle machine (full run).
STAGE_WEIGHT = {
    "is_plain_gray": 0.34,
    "has_multiple_transparency[RGBA]": 0.08,
    "has_multiple_transparency[palette]": 0.04,
    "has_multiple_transparency[palette-table]": 0.04,
    "check": 0.2,
    "has_colored_lines": 0.09,
    "trim_transparent_edges": 0.18,
    "is_valid_image": 0.07,
    "batch": 0.12,
    "check-tree": 0.1,
    "http": 0.08,
}


class Pace:
    """Keeps the run near its target on a busy machine: when earlier stages
    overran, the timing budgets of the next stage shrink (never below the
    minimum number of rounds)."""

    def __init__(self, target: float, stages: List[str]) -> None:
        self.started = time.perf_counter()
        self.target = target
        self.stages = stages
        self.factor = 1.0

    def enter(self, stage: str) -> None:
        left = self.stages[self.stages.index(stage):]
        remaining = self.target - (time.perf_counter() - self.started)
        planned = self.target * sum(STAGE_WEIGHT.get(x, 0.05) for x in left) / sum(STAGE_WEIGHT.values())
        self.factor = max(0.2, min(1.0, remaining / max(planned, 1e-9)))
        if self.factor < 0.9:
            out(f"  (busy machine: timing budgets of this stage scaled by {self.factor:.2f} to keep the run near {self.target:.0f} s)")


PACE: Optional[Pace] = None


def pace_factor() -> float:
    return PACE.factor if PACE is not None else 1.0


@dataclass
class Goal:
    label: str
    measured: str
    met: Optional[bool]  # None: not measured

    @property
    def mark(self) -> str:
        return {True: "met", False: "NOT MET", None: "not measured"}[self.met]


@dataclass
class Timing:
    """Per-call seconds of each contender, one sample per round."""

    samples: Dict[str, List[float]]
    # CPU seconds (user + system, every thread of the process) per call,
    # beside each wall-clock sample
    cpu: Dict[str, List[float]] = field(default_factory=dict)

    def cpu_ratio(self, a: str, b: str) -> Optional[float]:
        if not self.cpu.get(a) or not self.cpu.get(b) or statistics.median(self.cpu[b]) <= 0:
            return None
        return statistics.median(self.cpu[a]) / statistics.median(self.cpu[b])

    def __getitem__(self, name: str) -> float:
        return statistics.median(self.samples[name])

    def __contains__(self, name: str) -> bool:
        return name in self.samples

    def ratio(self, a: str, b: str) -> float:
        """Median of the per-round ratios: the two samples of a round ran next
        to each other, so a load spike on the machine mostly cancels out."""
        sa, sb = self.samples[a], self.samples[b]
        if len(sa) == len(sb) and len(sa) > 1:
            return statistics.median(x / y for x, y in zip(sa, sb))
        return self[a] / self[b]


@dataclass
class ImageRun:
    sample: images.Sample
    timing: Timing
    single: Dict[str, bool] = field(default_factory=dict)  # contender timed once only
    diffs: List[str] = field(default_factory=list)


GOALS: List[Goal] = []
DIFFERENCES: List[str] = []


def out(text: str = "") -> None:
    print(text, flush=True)


# ---------------------------------------------------------------- timing


def outcome(fn: Callable[[], Any]) -> Tuple[str, Any, float]:
    start = time.perf_counter()
    try:
        value = fn()
        kind = "ok"
    except NotImplementedError as exc:
        value, kind = exc, "ni"
    except Exception as exc:
        value, kind = exc, "raised"
    return kind, value, time.perf_counter() - start


def quiet(fn: Callable[[], Any]) -> Callable[[], None]:
    def run() -> None:
        try:
            fn()
        except Exception:
            pass

    return run


def alternate(
    thunks: Dict[str, Callable[[], None]],
    estimates: Dict[str, float],
    budget: float,
    s: Settings,
    max_rounds: Optional[int] = None,
) -> Timing:
    """Time the thunks in alternating rounds (the order rotates every round);
    return the per-call seconds of each, one sample per round."""
    reps = {name: max(1, min(500, math.ceil(SAMPLE_SECONDS / max(est, 1e-7)))) for name, est in estimates.items()}
    limit = max_rounds or s.max_rounds
    names = list(thunks)
    samples: Dict[str, List[float]] = {n: [] for n in names}
    cpu: Dict[str, List[float]] = {n: [] for n in names}
    gc.collect()
    started = time.perf_counter()
    r = 0
    round_cost = sum(reps[n] * estimates[n] for n in names)
    # an expensive round (several seconds) is repeated less: two paired rounds
    min_rounds = 2 if round_cost > 4.0 or (round_cost > 1.0 and pace_factor() < 0.6) else s.min_rounds
    budget *= pace_factor()
    # rounds continue until the budget is spent, within [min_rounds, limit]
    while r < limit and (r < min_rounds or time.perf_counter() - started < budget):
        shift = r % len(names)
        for name in names[shift:] + names[:shift]:
            fn, k = thunks[name], reps[name]
            start, start_cpu = time.perf_counter(), time.process_time()
            for _ in range(k):
                fn()
            samples[name].append((time.perf_counter() - start) / k)
            cpu[name].append((time.process_time() - start_cpu) / k)
        r += 1
    return Timing(samples, cpu)


def time_image(method: Method, sample: images.Sample, s: Settings, state: Dict[str, Any]) -> ImageRun:
    data = sample.data
    try:
        ctx = method.prepare(data)
    except Exception:  # damaged input: only the agreement check runs on it
        ctx = {}
    calls = {
        "tessel": lambda: method.tessel(data, ctx),
        "baseline": lambda: method.baseline(data, ctx),
        "floor": lambda: method.floor(data, ctx),
    }
    if method.reference is not None:
        calls["reference"] = lambda: method.reference(data, ctx)
    if state.get("not_implemented"):
        del calls["tessel"]
    results = {name: outcome(fn) for name, fn in calls.items()}
    run = ImageRun(sample, Timing({}))
    if "tessel" in results and results["tessel"][0] == "ni":
        state["not_implemented"] = str(results["tessel"][1])
        del calls["tessel"], results["tessel"]
    if "tessel" in results:
        got, want = results["tessel"][:2], results["baseline"][:2]
        run.diffs = contenders.compare_outcome(method.compare, got, want)
    estimates = {}
    for name, (_, _, elapsed) in results.items():
        if elapsed < 0.05:
            elapsed = min(elapsed, outcome(calls[name])[2])
        estimates[name] = elapsed
    if sample.extra.get("edge"):
        return run  # agreement only
    thunks = {name: quiet(fn) for name, fn in calls.items()}
    if not method.baseline_repeats and estimates["baseline"] > s.baseline_repeat_limit:
        del thunks["baseline"]
        run.single["baseline"] = True
    budget = s.budget[sample.bucket]
    run.timing = alternate(thunks, {n: estimates[n] for n in thunks}, budget, s)
    if run.single.get("baseline"):
        run.timing.samples["baseline"] = [estimates["baseline"]]
    return run


# ---------------------------------------------------------------- memory


def probe_memory(method: Method, sample: images.Sample, warm: images.Sample, who: str, tmp: str) -> Dict[str, Any]:
    path = os.path.join(tmp, "probe-" + sample.name.replace("/", "_").replace(":", "_"))
    warm_path = os.path.join(tmp, "warm-" + warm.name.replace("/", "_").replace(":", "_"))
    for p, smp in ((path, sample), (warm_path, warm)):
        if not os.path.exists(p):
            with open(p, "wb") as fh:
                fh.write(smp.data)
    proc = subprocess.run(
        [sys.executable, os.path.join(HERE, "memprobe.py"), method.key, who, path, warm_path],
        capture_output=True,
        text=True,
        cwd=HERE,
        timeout=300,
    )
    lines = [ln for ln in proc.stdout.splitlines() if ln.startswith("{")]
    if proc.returncode != 0 or not lines:
        tail = (proc.stderr.strip().splitlines() or ["no output"])[-1]
        return {"growth": None, "reset": False, "error": f"probe failed: {tail}"}
    return json.loads(lines[-1])


# ---------------------------------------------------------------- reporting


def fmt_ms(seconds: Optional[float], single: bool = False) -> str:
    if seconds is None:
        return "n/i"
    ms = seconds * 1000
    text = f"{ms:.3f}" if ms < 10 else f"{ms:.1f}" if ms < 1000 else f"{ms:.0f}"
    return text + ("*" if single else "")


def fmt_ratio(value: Optional[float]) -> str:
    return "-" if value is None else f"{value:.2f}"


def verdict(ok: bool) -> str:
    return "met" if ok else "NOT MET"


def report_method(method: Method, runs: List[ImageRun], state: Dict[str, Any]) -> None:
    implemented = not state.get("not_implemented")
    out(f"  {'bucket':<8} {'n':>3} {'tessel ms':>10} {'baseline ms':>12} {'floor ms':>10} {'t/floor':>8} {'t/base':>7}  goals")
    for index, (label, _) in enumerate(images.BUCKETS):
        rows = [r for r in runs if r.sample.bucket == index and r.timing.samples]
        if not rows:
            continue
        med = lambda name: statistics.median(r.timing[name] for r in rows) if name in rows[0].timing else None  # noqa: E731
        t, b, f = med("tessel") if implemented else None, med("baseline"), med("floor")
        single = any(r.single.get("baseline") for r in rows)
        tf = statistics.median(r.timing.ratio("tessel", "floor") for r in rows) if implemented else None
        tb = statistics.median(r.timing.ratio("tessel", "baseline") for r in rows) if implemented else None
        notes = []
        floor_goal = TINY_FLOOR_GOAL if index == 0 else method.floor_goal
        if floor_goal is not None:
            ok = None if tf is None else tf <= floor_goal
            notes.append(f"t/floor<={floor_goal:g}: {'n/i' if ok is None else verdict(ok)}")
            GOALS.append(Goal(f"{method.key} {label}: <= {floor_goal:g}x the floor", "-" if tf is None else f"{tf:.2f}x", ok))
        if method.speedup_goal is not None:
            speed = None if tb is None else 1 / tb
            ok = None if speed is None else speed >= method.speedup_goal
            notes.append(f">={method.speedup_goal:g}x faster than baseline: {'n/i' if ok is None else verdict(ok)}")
            GOALS.append(
                Goal(
                    f"{method.key} {label}: >= {method.speedup_goal:g}x faster than the baseline",
                    "-" if speed is None else f"{speed:.2f}x faster",
                    ok,
                )
            )
        if implemented and method.report_cpu:
            cpu = [c for c in (r.timing.cpu_ratio("tessel", "floor") for r in rows) if c is not None]
            if cpu:
                notes.append(f"CPU time t/floor {statistics.median(cpu):.2f}")
        if implemented and "reference" in rows[0].timing:
            tr = statistics.median(r.timing.ratio("tessel", "reference") for r in rows)
            notes.append(f"reference {fmt_ms(med('reference'))} ms, t/reference {tr:.2f}")
        out(
            f"  {label:<8} {len(rows):>3} {fmt_ms(t):>10} {fmt_ms(b, single):>12} {fmt_ms(f):>10} "
            f"{fmt_ratio(tf):>8} {fmt_ratio(tb):>7}  {'; '.join(notes)}"
        )
    if any(r.single.get("baseline") for r in runs):
        out("  * baseline timed once (its correctness run): no goal depends on it and it is slow")


def report_memory(method: Method, sample: images.Sample, probes: Dict[str, Dict[str, Any]]) -> None:
    px = sample.pixels
    per_px = {}
    parts = []
    for who in ("tessel", "floor"):
        if who not in probes:
            continue
        res = probes[who]
        if res.get("growth") is None:
            parts.append(f"{who} {res.get('error') or 'n/a'}")
            continue
        per_px[who] = res["growth"] / px
        note = "" if res.get("reset") else " (peak mark not reset)"
        err = f" [error: {res['error']}]" if res.get("error") else ""
        parts.append(f"{who} {per_px[who]:.2f} B/px{note}{err}")
    out(f"  peak RSS growth on {sample.name} ({sample.pixels / 1e6:.1f} MP): " + ", ".join(parts))
    if method.memory_goal is None:
        return
    goal = method.memory_goal
    if method.memory_beyond_floor:
        value = per_px["tessel"] - per_px["floor"] if "tessel" in per_px and "floor" in per_px else None
        label = f"{method.key}: <= {goal:g} bytes/pixel beyond the floor ({method.floor_text})"
    else:
        value = per_px.get("tessel")
        label = f"{method.key}: <= {goal:g} bytes/pixel peak growth"
    ok = None if value is None else value <= goal
    out(f"  memory goal: {label}: {'-' if value is None else f'{value:.2f} B/px'} -> {'n/i' if ok is None else verdict(ok)}")
    GOALS.append(Goal(label, "-" if value is None else f"{value:.2f} B/px", ok))


# ---------------------------------------------------------------- image methods


def method_samples(method: Method, cat: images.Catalogue, corpus: List[images.Sample]) -> List[images.Sample]:
    samples = [smp for smp in cat.bucketed(method.small_kinds, method.big_kinds, method.kind_limit) if method.accepts(smp)]
    if not cat.quick:
        samples.append(cat.large_rgba() if method.large == "rgba" else cat.large_palette(method.large == "palette-table"))
    samples += [smp for smp in corpus if method.accepts(smp)]
    samples += [smp for smp in images.edge_samples() if method.accepts(smp) and smp.kind in method.small_kinds]
    return samples


def run_method(method: Method, cat: images.Catalogue, corpus: List[images.Sample], s: Settings, tmp: str) -> None:
    started = time.perf_counter()
    out(f"\n== {method.key} ==   floor: {method.floor_text}")
    for note in method.notes:
        out(f"  {note}")
    if method.reference is not None:
        out(f"  reference: {method.reference_text}")
    if PACE is not None:
        PACE.enter(method.key)
    samples = method_samples(method, cat, corpus)
    state: Dict[str, Any] = {}
    runs = []
    for sample in samples:
        run = time_image(method, sample, s, state)
        runs.append(run)
        for diff in run.diffs:
            line = f"{method.key} on {sample.name}: {diff}"
            DIFFERENCES.append(line)
            out(f"  DIFFERENCE {line}")
    if state.get("not_implemented"):
        out(f"  tessel: not implemented ({state['not_implemented']})")
    else:
        checked = len(runs)
        bad = sum(1 for r in runs if r.diffs)
        edge = sum(1 for r in runs if r.sample.extra.get("edge"))
        from_corpus = sum(1 for r in runs if r.sample.extra.get("corpus"))
        extra = f", {from_corpus} from the corpus" if from_corpus else ""
        out(f"  results: tessel and baseline agree on {checked - bad} of {checked} images ({edge} of them odd small ones, not timed{extra})")
    report_method(method, runs, state)
    largest = max((r.sample for r in runs if r.timing.samples and not r.sample.extra.get("corpus")), key=lambda smp: smp.pixels)
    timed_samples = [r.sample for r in runs if r.timing.samples]
    warm_pool = [smp for smp in timed_samples if smp.fmt == largest.fmt and smp.mode == largest.mode and smp is not largest]
    warm = min(warm_pool or timed_samples, key=lambda smp: smp.pixels)
    if s.quick:
        # only what a memory goal needs
        who_list = (["tessel"] + (["floor"] if method.memory_beyond_floor else [])) if method.memory_goal else []
    else:
        who_list = ["tessel", "floor", "baseline"]
    if state.get("not_implemented") and "tessel" in who_list:
        who_list.remove("tessel")
    if not who_list:
        out(f"  ({time.perf_counter() - started:.1f} s)")
        return
    probes = {who: probe_memory(method, largest, warm, who, tmp) for who in who_list if who != "baseline"}
    report_memory(method, largest, probes)
    if "baseline" in who_list:
        # per-pixel growth hardly depends on the size; a 4 MP image keeps
        # this reference figure cheap (the baseline needs seconds and GBs at 20 MP)
        mid = max((smp for smp in timed_samples if smp.pixels <= 4 * images.MP), key=lambda smp: smp.pixels)
        res = probe_memory(method, mid, warm, "baseline", tmp)
        text = f"{res['growth'] / mid.pixels:.2f} B/px" if res.get("growth") is not None else (res.get("error") or "n/a")
        out(f"  baseline peak RSS growth on {mid.name} ({mid.pixels / 1e6:.1f} MP), for reference: {text}")
    out(f"  ({time.perf_counter() - started:.1f} s)")


# ---------------------------------------------------------------- batch scan


def run_batch(s: Settings, tmp: str, cache_dir: Optional[str]) -> None:
    started = time.perf_counter()
    out("\n== batch_has_multiple_transparency ==")
    if PACE is not None:
        PACE.enter("batch")
    tree, counts = images.cached_tree(cache_dir or tmp, s.batch_files)
    out(f"  tree: {sum(counts.values())} image files ({', '.join(f'{k} {v}' for k, v in sorted(counts.items()))}), plus non-image files")
    out(f"  floor scan: {floors.SCAN_FLOOR_DEFINITION}")
    T = contenders.TesselImageTool
    B = contenders.Base
    sink = open(os.devnull, "w")

    def silenced(fn):
        def run():
            with contextlib.redirect_stderr(sink):
                return fn()

        return run

    calls = {
        "tessel 1 worker": silenced(lambda: T.batch_has_multiple_transparency(tree, max_workers=1)),
        "tessel 2 workers": silenced(lambda: T.batch_has_multiple_transparency(tree, max_workers=2)),
        "floor 1 worker": lambda: floors.scan_tree(tree, 1),
        "floor 2 workers": lambda: floors.scan_tree(tree, 2),
    }
    base = outcome(silenced(lambda: B.batch_has_multiple_transparency(tree, max_workers=2)))
    mine = outcome(calls["tessel 2 workers"]) if T is not None else ("ni", "tessel.image not importable", 0.0)
    implemented = mine[0] != "ni"
    if not implemented:
        out(f"  tessel: not implemented ({mine[1]})")
        del calls["tessel 1 worker"], calls["tessel 2 workers"]
    else:
        diffs = contenders.compare_outcome(_compare_scan, mine[:2], base[:2])
        for diff in diffs:
            DIFFERENCES.append(f"batch_has_multiple_transparency: {diff}")
            out(f"  DIFFERENCE batch_has_multiple_transparency: {diff}")
        if not diffs:
            out(f"  results: tessel and baseline agree on all {len(base[1])} verdicts")
    estimates = {name: outcome(fn)[2] for name, fn in calls.items()}
    timed = alternate({n: quiet(f) for n, f in calls.items()}, estimates, 4.0 if s.quick else 8.0, s)
    out(f"  {'contender':<20} {'ms per scan':>12}")
    for name in timed.samples:
        out(f"  {name:<20} {fmt_ms(timed[name]):>12}")
    out(f"  {'baseline 2 workers':<20} {fmt_ms(base[2], True):>12}  (timed once)")
    if implemented:
        scaling = timed.ratio("tessel 1 worker", "tessel 2 workers")
        to_floor = timed.ratio("tessel 2 workers", "floor 2 workers")
        floor_scaling = timed.ratio("floor 1 worker", "floor 2 workers")
        out(f"  2 workers vs 1: {scaling:.2f}x faster (goal >= {BATCH_SCALING_GOAL:g}x: {verdict(scaling >= BATCH_SCALING_GOAL)}); floor scan scales {floor_scaling:.2f}x")
        out(f"  2 workers vs floor scan: {to_floor:.2f}x (goal <= {BATCH_FLOOR_GOAL:g}x: {verdict(to_floor <= BATCH_FLOOR_GOAL)})")
        if floor_scaling < BATCH_SCALING_GOAL:
            out(f"  note: the floor scan itself gains only {floor_scaling:.2f}x from a second worker: the machine had little spare CPU during this run")
        GOALS.append(Goal(f"batch scan: 2 workers >= {BATCH_SCALING_GOAL:g}x faster than 1", f"{scaling:.2f}x", scaling >= BATCH_SCALING_GOAL))
        GOALS.append(Goal(f"batch scan: <= {BATCH_FLOOR_GOAL:g}x the open+load floor scan (2 workers)", f"{to_floor:.2f}x", to_floor <= BATCH_FLOOR_GOAL))
    else:
        GOALS.append(Goal(f"batch scan: 2 workers >= {BATCH_SCALING_GOAL:g}x faster than 1", "-", None))
        GOALS.append(Goal(f"batch scan: <= {BATCH_FLOOR_GOAL:g}x the open+load floor scan (2 workers)", "-", None))
    sink.close()
    out(f"  ({time.perf_counter() - started:.1f} s)")


def _compare_scan(got: Any, want: Any) -> List[str]:
    if not isinstance(got, dict):
        return [f"result is {type(got).__name__}"]
    diffs = []
    for path in sorted(set(got) | set(want)):
        if path not in got:
            diffs.append(f"{path}: missing from tessel's result (baseline {want[path]!r})")
        elif path not in want:
            diffs.append(f"{path}: only in tessel's result ({got[path]!r})")
        elif got[path] is not want[path]:
            diffs.append(f"{path}: {got[path]!r} != {want[path]!r}")
    return diffs


# ---------------------------------------------------------------- one pass over a tree


CHECK_TREE_GOAL = 1.3


def run_check_tree(s: Settings, tmp: str, cache_dir: Optional[str]) -> None:
    """The four checks over every image file of the batch tree, by path: the
    one-pass check against reading each file and decoding it once with each
    decoder, and against the four methods one by one."""
    started = time.perf_counter()
    out("\n== check over the batch tree (by path) ==")
    if PACE is not None:
        PACE.enter("check-tree")
    tree, _ = images.cached_tree(cache_dir or tmp, s.batch_files)
    paths = sorted(
        os.path.join(root, name)
        for root, _dirs, names in os.walk(tree)
        for name in names
        if os.path.splitext(name)[1].lower() in floors.DEFAULT_EXTENSIONS
    )
    out(f"  {len(paths)} files; floor: {floors.TREE_FLOOR_DEFINITION}")
    if contenders.one_pass_outcomes is None:
        out("  tessel.checks: not importable")
        GOALS.append(Goal(f"check over the batch tree: <= {CHECK_TREE_GOAL:g}x the two-decoder floor", "-", None))
        return
    diffs = 0
    for path in paths:
        got = contenders.one_pass_outcomes(path, 30.0, 0.01, 5)[2]
        want = contenders.four_methods(path)
        for diff in contenders.compare_four(got, want):
            diffs += 1
            line = f"check on {os.path.relpath(path, tree)}: {diff}"
            DIFFERENCES.append(line)
            out(f"  DIFFERENCE {line}")
    if not diffs:
        out(f"  results: the one pass and the four methods agree on all {len(paths)} files")
    calls = {
        "one pass": lambda: [contenders.one_pass_outcomes(p, 30.0, 0.01, 5) for p in paths],
        "four methods": lambda: [contenders.four_methods(p) for p in paths],
        "floor": lambda: [floors.read_and_decode_twice(p) for p in paths],
    }
    estimates = {name: outcome(fn)[2] for name, fn in calls.items()}
    timed = alternate({n: quiet(f) for n, f in calls.items()}, estimates, 6.0 if s.quick else 15.0, s)
    out(f"  {'contender':<14} {'s per tree':>11} {'CPU s':>7}")
    for name in timed.samples:
        out(f"  {name:<14} {timed[name]:>11.2f} {statistics.median(timed.cpu[name]):>7.2f}")
    ratio = timed.ratio("one pass", "floor")
    before = timed.ratio("four methods", "floor")
    out(f"  one pass / floor {ratio:.2f} (goal <= {CHECK_TREE_GOAL:g}x: {verdict(ratio <= CHECK_TREE_GOAL)}); four methods / floor {before:.2f}")
    out(f"  CPU time (user + system, all threads): one pass / floor {timed.cpu_ratio('one pass', 'floor'):.2f}")
    GOALS.append(Goal(f"check over the batch tree: <= {CHECK_TREE_GOAL:g}x the two-decoder floor", f"{ratio:.2f}x", ratio <= CHECK_TREE_GOAL))
    out(f"  ({time.perf_counter() - started:.1f} s)")


# ---------------------------------------------------------------- HTTP


@contextlib.contextmanager
def loopback_server():
    proc = subprocess.Popen(
        [sys.executable, os.path.join(HERE, "loopback.py")], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True
    )
    try:
        port = int(proc.stdout.readline())
        yield f"http://127.0.0.1:{port}"
    finally:
        proc.terminate()
        try:
            proc.wait(timeout=5)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


def _read_stream(url: str) -> io.BytesIO:
    im_io = io.BytesIO()
    response = requests.get(url, stream=True, timeout=20, verify=False, headers=None)
    if response.status_code == 200:
        for chunk in response.iter_content(chunk_size=4096):
            if chunk:
                im_io.write(chunk)
    return im_io


def run_http(s: Settings) -> None:
    started = time.perf_counter()
    out("\n== HTTP paths (loopback server in its own process) ==")
    if PACE is not None:
        PACE.enter("http")
    http_error: Optional[BaseException] = None
    try:
        from tessel.http import HttpRequestClient
    except Exception as exc:  # the module may not have landed yet
        HttpRequestClient, http_error = None, exc
    T = contenders.TesselImageTool
    with loopback_server() as root:
        small, image = f"{root}/bytes/2048", f"{root}/bytes/{256 * 1024}"
        raw_session = requests.Session()
        checks: List[Tuple[str, str, Dict[str, Callable[[], Any]], int, float, Callable[[Any], Any]]] = []
        client_calls: Dict[str, Callable[[], Any]] = {"raw Session.get": lambda: raw_session.get(small, timeout=300, verify=False)}
        if HttpRequestClient is not None:
            client = HttpRequestClient()
            client_calls["HttpRequestClient.get"] = lambda: client.get(small)
        checks.append(("HttpRequestClient.get vs requests.Session.get (2 KiB body, keep-alive)", "HttpRequestClient.get", client_calls, 20, HTTP_CLIENT_GOAL, lambda r: (r.status_code, r.content)))
        io_calls: Dict[str, Callable[[], Any]] = {"requests.get+iter_content": lambda: _read_stream(image)}
        if T is not None:
            io_calls["ImageTool.get_img_url_io"] = lambda: T.get_img_url_io(image)
        checks.append(("ImageTool.get_img_url_io vs requests.get(stream=True)+iter_content(4096) (256 KiB)", "ImageTool.get_img_url_io", io_calls, 5, URL_IO_GOAL, lambda b: b.getvalue()))
        for title, mine_name, calls, block, goal, view in checks:
            out(f"  {title}")
            results = {name: outcome(fn) for name, fn in calls.items()}
            if mine_name in results and results[mine_name][0] == "ni":
                out(f"    {mine_name}: not implemented ({results[mine_name][1]})")
                del calls[mine_name], results[mine_name]
            elif mine_name not in calls:
                why = http_error if mine_name.startswith("HttpRequestClient") else contenders.TESSEL_IMPORT_ERROR
                out(f"    {mine_name}: not importable ({why})")
            else:
                other = next(n for n in calls if n != mine_name)
                a, b = results[mine_name], results[other]
                same = a[0] == b[0] == "ok" and view(a[1]) == view(b[1])
                if not same:
                    line = f"{mine_name}: result differs from {other} ({a[0]}: {a[1]!r:.80} vs {b[0]}: {b[1]!r:.80})"
                    DIFFERENCES.append(line)
                    out(f"    DIFFERENCE {line}")
            blocks = {n: (lambda fn=fn: [fn() for _ in range(block)]) for n, fn in calls.items()}
            estimates = {n: outcome(f)[2] for n, f in blocks.items()}
            timed = alternate({n: quiet(f) for n, f in blocks.items()}, estimates, 2.0 if s.quick else 4.0, s, max_rounds=400)
            for name in timed.samples:
                out(f"    {name:<28} {timed[name] / block * 1000:8.3f} ms per request")
            if mine_name in timed:
                other = next(n for n in timed.samples if n != mine_name)
                ratio = timed.ratio(mine_name, other)
                out(f"    ratio {ratio:.3f} (goal <= {goal:g}x: {verdict(ratio <= goal)})")
                GOALS.append(Goal(f"{mine_name} vs {other}: <= {goal:g}x", f"{ratio:.3f}x", ratio <= goal))
            else:
                GOALS.append(Goal(f"{mine_name} vs the plain requests path: <= {goal:g}x", "-", None))
    out(f"  ({time.perf_counter() - started:.1f} s)")


# ---------------------------------------------------------------- main


def main(argv: Optional[List[str]] = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="about a minute: one image per bucket up to 4 MP, memory only where a goal needs it")
    parser.add_argument("--corpus", help="a directory of extra images to run every image method on")
    parser.add_argument("--only", help="comma-separated subset: method keys, 'batch', 'check-tree', 'http'")
    parser.add_argument("--no-cache", action="store_true", help="regenerate the images instead of reusing them from the cache directory")
    args = parser.parse_args(argv)
    s = QUICK if args.quick else FULL
    only = set(args.only.split(",")) if args.only else None
    # the batch scan logs through the root logger; keep its records off the console
    logging.getLogger().addHandler(logging.NullHandler())
    started = time.perf_counter()
    out(f"tessel benchmark ({'quick' if s.quick else 'full'} run), Python {sys.version.split()[0]}, {os.cpu_count()} CPUs")
    if contenders.TESSEL_IMPORT_ERROR is not None:
        out(f"tessel.image is not importable: {contenders.TESSEL_IMPORT_ERROR}")
    out("figures: per image, the median of alternating runs (ratios: median of the per-round ratios); per bucket, the median over its images")
    out("buckets by pixel count: " + ", ".join(label for label, _ in images.BUCKETS) + " (MP = 10^6 pixels)")
    out(f"goal at <=64²: every method <= {TINY_FLOOR_GOAL:g}x its floor; the per-method floor goals apply above 64²")
    cache_dir = None if args.no_cache else images.default_cache_dir()
    cat = images.Catalogue(quick=s.quick, cache_dir=cache_dir)
    gen_started = time.perf_counter()
    selected = [m for m in contenders.METHODS if only is None or m.key in only or m.key.split("[")[0] in only]
    stages = [m.key for m in selected] + [x for x in ("batch", "check-tree", "http") if only is None or x in only]
    global PACE
    PACE = Pace(s.target, stages)
    for method in selected:
        method_samples(method, cat, [])
    where = f" (cache: {cache_dir})" if cache_dir else ""
    out(f"{len(cat)} generated images ready in {time.perf_counter() - gen_started:.1f} s{where}")
    corpus = images.load_corpus(args.corpus)
    if args.corpus:
        out(f"corpus: {len(corpus)} images from {args.corpus}")
    with tempfile.TemporaryDirectory(prefix="tessel-bench-") as tmp:
        for method in selected:
            run_method(method, cat, corpus, s, tmp)
        if only is None or "batch" in only:
            run_batch(s, tmp, cache_dir)
        if only is None or "check-tree" in only:
            run_check_tree(s, tmp, cache_dir)
    if only is None or "http" in only:
        run_http(s)

    out("\n== goals ==")
    width = max((len(g.label) for g in GOALS), default=10)
    for g in GOALS:
        out(f"  {g.label:<{width}}  {g.measured:>16}  {g.mark}")
    met = sum(1 for g in GOALS if g.met)
    missed = sum(1 for g in GOALS if g.met is False)
    unmeasured = sum(1 for g in GOALS if g.met is None)
    out(f"  {met} met, {missed} NOT MET, {unmeasured} not measured")
    out("\n== tessel vs baseline results ==")
    if DIFFERENCES:
        for line in DIFFERENCES:
            out(f"  {line}")
    else:
        out("  no differences")
    out(f"\ntotal time {time.perf_counter() - started:.0f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
