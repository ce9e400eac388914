"""Fuzzes is_plain_gray's whole path, OpenCV's decoders included, in a child.

The decoders are native code that the Python-level harnesses cannot contain:
a crash there ends the process. So the inputs run in a child interpreter that
is fed one input at a time over a pipe; when the child dies from a signal (or
stops answering), the input it was working on is saved as a finding and a new
child takes over. The parent mutates seeds for every format OpenCV reads
(decoder_seeds.py) with byte-level and PNG chunk-level mutations; an input
whose answer has not been seen before joins the pool, which steers mutation a
little without instrumentation.

    python fuzz/fuzz_decoders.py [--seconds N] [--work DIR]   # fuzz
    python fuzz/fuzz_decoders.py --replay FILE...              # rerun inputs

Exit status 1 when a run found a crash or a hang (inputs under WORK/findings).
"""

from __future__ import annotations

import argparse
import hashlib
import os
import random
import re
import select
import struct
import subprocess
import sys
import time
import zlib
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
HANG_SECONDS = 20.0
POOL_LIMIT = 4000
RECENT_TRIES = 16
# Keep a run's memory bounded on a shared machine: a decoder that asks for
# more gets std::bad_alloc (an answer), not the whole box.
CHILD_MEMORY = 4 << 30


# --- child -------------------------------------------------------------------

def child() -> None:
    sys.path.insert(0, str(HERE))
    import resource

    import sandbox

    sandbox.silence_opencv()
    resource.setrlimit(resource.RLIMIT_AS, (CHILD_MEMORY, CHILD_MEMORY))
    import tessel.image

    sandbox.prepare(tessel.image)
    check = tessel.image.ImageTool.is_plain_gray
    stdin, stdout = sys.stdin.buffer, sys.stdout.buffer
    while True:
        head = stdin.read(4)
        if len(head) < 4:
            return
        data = stdin.read(struct.unpack("<I", head)[0])
        try:
            verdict, metrics, message = check(data)
            # The kind of answer, not its numbers: which check fired.
            answer = f"{verdict}|{len(metrics)}|{re.sub(r'[0-9.e+-]+', '#', message)[:48]}"
        except Exception as exc:  # noqa: BLE001 - any exception is an answer
            answer = f"raised {type(exc).__name__}"
        digest = hashlib.blake2b(answer.encode(), digest_size=8).digest()
        stdout.write(digest)
        stdout.flush()


class Child:
    """One child interpreter; `run` returns an answer digest, or None on death."""

    def __init__(self) -> None:
        env = dict(os.environ, OPENCV_LOG_LEVEL="OFF", TQDM_DISABLE="1")
        self.proc = subprocess.Popen(
            [sys.executable, str(Path(__file__).resolve()), "--child"],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, env=env,
        )

    def run(self, data: bytes):
        try:
            self.proc.stdin.write(struct.pack("<I", len(data)) + data)
            self.proc.stdin.flush()
        except BrokenPipeError:
            return None, self._status()
        ready, _, _ = select.select([self.proc.stdout], [], [], HANG_SECONDS)
        if not ready:
            self.proc.kill()
            self.proc.wait()
            return None, "hang"
        answer = self.proc.stdout.read(8)
        if len(answer) < 8:
            return None, self._status()
        return answer, None

    def _status(self) -> str:
        code = self.proc.wait()
        return f"signal {-code}" if code < 0 else f"exit {code}"

    def close(self) -> None:
        if self.proc.poll() is None:
            self.proc.stdin.close()
            self.proc.wait()


# --- mutations ---------------------------------------------------------------

_INTERESTING = (0, 1, 0x7F, 0x80, 0xFF, 0x7FFF, 0x8000, 0xFFFF, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF, 16, 64, 256, 4096)
_PNG_SIG = b"\x89PNG\r\n\x1a\n"


def _png_chunks(data: bytes):
    """[(type, payload)] of a PNG, or None if the framing does not hold."""
    out, at = [], 8
    while at + 12 <= len(data):
        length = struct.unpack(">I", data[at:at + 4])[0]
        if length > len(data) - at - 12:
            return None
        out.append((data[at + 4:at + 8], data[at + 8:at + 8 + length]))
        at += 12 + length
    return out if at == len(data) else None


def _png_build(chunks) -> bytes:
    out = bytearray(_PNG_SIG)
    for kind, payload in chunks:
        out += struct.pack(">I", len(payload)) + kind + payload + struct.pack(">I", zlib.crc32(kind + payload))
    return bytes(out)


def _mutate_png(rng: random.Random, data: bytes, other: bytes):
    chunks = _png_chunks(data)
    if not chunks:
        return None
    op = rng.randrange(6)
    i = rng.randrange(len(chunks))
    if op == 0 and len(chunks) > 1:  # drop a chunk
        del chunks[i]
    elif op == 1:  # duplicate a chunk elsewhere
        chunks.insert(rng.randrange(len(chunks) + 1), chunks[i])
    elif op == 2 and len(chunks) > 1:  # move a chunk
        chunks.insert(rng.randrange(len(chunks)), chunks.pop(i))
    elif op == 3:  # mutate a payload, keep the CRC right
        kind, payload = chunks[i]
        chunks[i] = (kind, _mutate_bytes(rng, payload, b"") if payload else bytes([rng.randrange(256)]))
    elif op == 4:  # bring in a chunk of another PNG
        theirs = _png_chunks(other) if other.startswith(_PNG_SIG) else None
        if theirs:
            chunks.insert(rng.randrange(len(chunks) + 1), rng.choice(theirs))
    else:  # set a field of a control chunk to an interesting value
        kind, payload = chunks[i]
        if len(payload) >= 4:
            at = rng.randrange(0, len(payload) - 3)
            value = rng.choice(_INTERESTING) & 0xFFFFFFFF
            payload = payload[:at] + struct.pack(">I", value) + payload[at + 4:]
            chunks[i] = (kind, payload)
    return _png_build(chunks)


def _mutate_bytes(rng: random.Random, data: bytes, other: bytes) -> bytes:
    buf = bytearray(data) or bytearray(b"\0")
    for _ in range(1 + int(rng.expovariate(0.7))):
        if not buf:
            buf.append(0)
        op = rng.randrange(8)
        at = rng.randrange(len(buf))
        if op == 0:
            buf[at] ^= 1 << rng.randrange(8)
        elif op == 1:
            buf[at] = rng.choice((0, 1, 0x7F, 0x80, 0xFF, rng.randrange(256)))
        elif op == 2:
            width, order = rng.choice(((2, ">H"), (2, "<H"), (4, ">I"), (4, "<I")))
            value = rng.choice(_INTERESTING) & ((1 << (8 * width)) - 1)
            buf[at:at + width] = struct.pack(order, value)
        elif op == 3 and len(buf) > 1:
            del buf[at:at + rng.randrange(1, min(64, len(buf)) + 1)]
        elif op == 4:
            buf[at:at] = bytes(rng.randrange(256) for _ in range(rng.randrange(1, 16)))
        elif op == 5:
            end = min(len(buf), at + rng.randrange(1, 64))
            buf[at:at] = buf[at:end]
        elif op == 6 and other:
            start = rng.randrange(len(other))
            buf[at:] = other[start:start + rng.randrange(1, 512)]
        else:
            del buf[at + 1:]  # truncate
    return bytes(buf)


def mutate(rng: random.Random, data: bytes, other: bytes) -> bytes:
    if data.startswith(_PNG_SIG) and rng.random() < 0.5:
        made = _mutate_png(rng, data, other)
        if made is not None:
            return made
    return _mutate_bytes(rng, data, other)


# --- parent ------------------------------------------------------------------

def _seeds(work: Path):
    sys.path.insert(0, str(HERE))
    os.environ.setdefault("OPENCV_LOG_LEVEL", "OFF")
    import decoder_seeds

    seed_dir = work / "seeds"
    decoder_seeds.write(seed_dir)
    return [(p.name, p.read_bytes()) for p in sorted(seed_dir.iterdir())]


def _save(findings: Path, kind: str, data: bytes) -> Path:
    findings.mkdir(parents=True, exist_ok=True)
    path = findings / f"{kind}-{hashlib.sha1(data).hexdigest()[:16]}"
    path.write_bytes(data)
    return path


def fuzz(seconds: float, work: Path, seed: int) -> int:
    rng = random.Random(seed)
    seeds = _seeds(work)
    findings = work / "findings"
    pool = [data for _name, data in seeds]
    seen = set()
    child_proc = Child()
    execs = crashes = hangs = restarts = 0
    crash_kinds = {}
    start = time.monotonic()
    next_report = start + 60

    recent = []  # the inputs since the child started, newest last

    def reproduces(data: bytes) -> bool:
        """Whether `data` kills a fresh child on its own. A heap corruption
        may surface only on a later input; such findings are saved with the
        inputs the child ran before (WORK/findings/*-history/)."""
        probe = Child()
        _answer, death = probe.run(data)
        probe.close()
        return death is not None and death != "hang"

    def run(data: bytes):
        nonlocal child_proc, crashes, hangs, restarts
        answer, death = child_proc.run(data)
        if death is None:
            recent.append(data)
            del recent[:-RECENT_TRIES]
            return answer
        if death == "hang":
            hangs += 1
            path = _save(findings, "hang", data)
        else:
            crashes += 1
            crash_kinds[death] = crash_kinds.get(death, 0) + 1
            if reproduces(data):
                path = _save(findings, "crash", data)
            else:
                path = _save(findings, "crash-unreproduced", data)
                history = Path(str(path) + "-history")
                history.mkdir(exist_ok=True)
                for i, earlier in enumerate(recent):
                    (history / f"{i:02d}").write_bytes(earlier)
        print(f"finding: {death} on {len(data)} bytes -> {path}", flush=True)
        restarts += 1
        recent.clear()
        child_proc = Child()
        return None

    for data in list(pool):  # every seed must answer as is
        answer = run(data)
        execs += 1
        if answer is not None:
            seen.add(answer)
    while time.monotonic() - start < seconds:
        # Half the time a seed: inputs that reach deep into a decoder are
        # rarer in the pool than ones rejected at the first byte.
        base = rng.choice(pool if rng.random() < 0.5 else pool[:len(seeds)])
        data = mutate(rng, base, rng.choice(pool))
        if len(data) > 1 << 20:
            continue
        answer = run(data)
        execs += 1
        if answer is not None and (answer not in seen or rng.random() < 0.01):
            # New kinds of answer join the pool; so does a sprinkle of the
            # rest, so that mutations stack up past the first step.
            seen.add(answer)
            if len(pool) < POOL_LIMIT:
                pool.append(data)
            else:
                pool[rng.randrange(len(seeds), POOL_LIMIT)] = data
        if time.monotonic() >= next_report:
            next_report += 60
            rate = execs / (time.monotonic() - start)
            print(f"#{execs} execs ({rate:.0f}/s), pool {len(pool)}, answers {len(seen)}, "
                  f"crashes {crashes}, hangs {hangs}", flush=True)
    child_proc.close()
    elapsed = time.monotonic() - start
    print(f"fuzz-decoders: {execs} execs in {elapsed:.0f} s ({execs / elapsed:.0f}/s), {len(seeds)} seeds, "
          f"pool {len(pool)}, distinct answers {len(seen)}, crashes {crashes} {crash_kinds}, hangs {hangs}, "
          f"child restarts {restarts}")
    return 1 if crashes or hangs else 0


def replay(paths) -> int:
    bad = 0
    child_proc = Child()
    for path in paths:
        answer, death = child_proc.run(Path(path).read_bytes())
        print(f"{path}: {'answered' if death is None else death}")
        if death is not None:
            bad += 1
            child_proc = Child()
    child_proc.close()
    return 1 if bad else 0


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--seconds", type=float, default=60.0)
    parser.add_argument("--work", type=Path, default=ROOT / "build" / "fuzz-decoders")
    parser.add_argument("--seed", type=int, default=int(time.time()))
    parser.add_argument("--replay", nargs="+", metavar="FILE")
    args = parser.parse_args()
    if args.child:
        child()
        return 0
    if args.replay:
        return replay(args.replay)
    print(f"fuzz-decoders: seed {args.seed}, {args.seconds:.0f} s, work {args.work}", flush=True)
    return fuzz(args.seconds, args.work, args.seed)


if __name__ == "__main__":
    sys.exit(main())
