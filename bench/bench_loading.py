"""Reading files whole: load_image_batch against the Python ways of doing it, side by side.

    python bench/bench_loading.py                  # every workload, best of 20
    python bench/bench_loading.py --repeats 9 --dir /some/disk --only "one 20 MB"

Workloads: the eight scikit-image photographs the demo reads (found without
importing scikit-image; `pip install --no-deps scikit-image` provides them,
otherwise random files of the same sizes stand in), the same list ten times,
500 x 100 KB, 20 x 20 MB, 2,000 x 8 KB and one 20 MB file. The generated
files are written once into a temporary folder and every list is read once
before any timing, so every contender reads from a warm page cache.

Each contender runs its repeats back to back (after one untimed run), in two
rounds. Each row shows the best and the median run and the
spread (median over best, minus one) as the noise of this run; the factor is
the better Python reader's best time over load_image_batch's. CPU is the
time all threads of the process spent per run (user and system), which a
busy machine does not inflate the way it does the elapsed time. All
contenders must return the same bytes, or the run fails.
"""

from __future__ import annotations

import argparse
import importlib.util
import os
import shutil
import statistics
import sys
import tempfile
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import batchaugmentor as ba

PHOTOS = (
    ("astronaut.png", 791_555),
    ("chelsea.png", 240_512),
    ("coffee.png", 466_706),
    ("rocket.jpg", 112_525),
    ("retina.jpg", 269_564),
    ("hubble_deep_field.jpg", 527_940),
    ("motorcycle_left.png", 644_701),
    ("camera.png", 139_512),
)


def read_file(path: str) -> bytes:
    with open(path, "rb") as f:
        return f.read()


def python_loop(paths: list[str]) -> list[bytes]:
    return [read_file(p) for p in paths]


def make_thread_pool_reader(pool: ThreadPoolExecutor):
    def thread_pool(paths: list[str]) -> list[bytes]:
        return list(pool.map(read_file, paths))

    return thread_pool


def load_image_batch(paths: list[str]) -> list[bytes]:
    return ba.load_image_batch(paths)


def write_files(folder: Path, sizes: list[int], tag: str) -> list[str]:
    paths = []
    chunk = os.urandom(min(max(sizes), 1 << 20))
    for i, size in enumerate(sizes):
        path = folder / f"{tag}_{i:04d}.bin"
        with open(path, "wb") as f:
            # Vary the first bytes so that no two files are identical.
            head = i.to_bytes(4, "little")[:size]
            f.write(head)
            remaining = size - len(head)
            while remaining > 0:
                piece = chunk[: min(remaining, len(chunk))]
                f.write(piece)
                remaining -= len(piece)
        paths.append(str(path))
    return paths


def photographs(folder: Path) -> tuple[list[str], str]:
    spec = importlib.util.find_spec("skimage")
    if spec is not None and spec.submodule_search_locations:
        data = Path(next(iter(spec.submodule_search_locations))) / "data"
        found = [str(data / name) for name, _ in PHOTOS if (data / name).is_file()]
        if len(found) == len(PHOTOS):
            return found, "scikit-image's files"
    return write_files(folder, [size for _, size in PHOTOS], "photo"), "random stand-ins of their sizes"


def workloads(folder: Path):
    photos, origin = photographs(folder)
    yield f"the 8 demo photographs (109-773 KB, {origin})", photos
    yield "the same list x10 (80 files)", photos * 10
    yield "500 x 100 KB", write_files(folder, [100 * 1024] * 500, "small")
    yield "20 x 20 MB", write_files(folder, [20 << 20] * 20, "large")
    yield "2,000 x 8 KB", write_files(folder, [8 * 1024] * 2000, "tiny")
    yield "one 20 MB file", write_files(folder, [20 << 20], "single")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=20)
    parser.add_argument("--dir", type=Path, default=None, help="where to write the files (default: system temp)")
    parser.add_argument("--only", default=None, help="run only the workloads whose title contains this")
    args = parser.parse_args()

    folder = Path(tempfile.mkdtemp(prefix="bench_loading_", dir=args.dir))
    load = os.getloadavg()[0] if hasattr(os, "getloadavg") else float("nan")
    print(
        f"{os.cpu_count()} logical processors, load average {load:.2f}, best of {args.repeats}, "
        f"Python {sys.version.split()[0]}"
    )
    pool = ThreadPoolExecutor()  # Python's default size: min(32, cpu_count + 4)
    contenders = [
        ("python loop", python_loop),
        ("ThreadPoolExecutor", make_thread_pool_reader(pool)),
        ("load_image_batch", load_image_batch),
    ]
    rows = []
    failed = False
    try:
        for title, paths in workloads(folder):
            if args.only and args.only not in title:
                continue
            expected = python_loop(paths)  # also warms the page cache
            times = {name: [] for name, _ in contenders}
            cpu = {name: [] for name, _ in contenders}
            # Each contender runs its repeats back to back, after one untimed
            # run: a training loop calls the same reader over and over, and
            # what the allocator keeps warm between calls is part of its cost.
            # Two rounds, so a burst of load from elsewhere on the machine
            # is less likely to hit only one contender.
            for _ in range(2):
                for name, reader in contenders:
                    result = reader(paths)
                    if result != expected:
                        print(f"  {name}: returned different bytes for {title}", file=sys.stderr)
                        failed = True
                    for _ in range((args.repeats + 1) // 2):
                        result = None  # free the previous run's bytes before timing the next
                        start, start_cpu = time.perf_counter(), time.process_time()
                        result = reader(paths)
                        times[name].append(time.perf_counter() - start)
                        cpu[name].append(time.process_time() - start_cpu)
                    del result
            del expected
            total_mb = sum(os.path.getsize(p) for p in paths) / 1e6
            print(f"\n{title} ({total_mb:.1f} MB)")
            print(f"  {'contender':<20} {'best':>10} {'median':>10} {'spread':>7} {'GB/s (best)':>12} {'CPU (best)':>11}")
            for name, _ in contenders:
                best, median = min(times[name]), statistics.median(times[name])
                print(
                    f"  {name:<20} {best * 1e3:7.2f} ms {median * 1e3:7.2f} ms {median / best - 1:6.0%} "
                    f"{total_mb / 1e3 / best:12.2f} {min(cpu[name]) * 1e3:8.2f} ms"
                )
            peer_name = min(("python loop", "ThreadPoolExecutor"), key=lambda n: min(times[n]))
            factor = min(times[peer_name]) / min(times["load_image_batch"])
            print(f"  load_image_batch vs {peer_name}: {factor:.2f}x")
            rows.append((title, {n: min(t) for n, t in times.items()}, factor))
    finally:
        pool.shutdown()
        shutil.rmtree(folder, ignore_errors=True)

    print("\n| files | `load_image_batch` | loop of `open(p, \"rb\").read()` | ThreadPoolExecutor | factor |")
    print("|---|---|---|---|---|")
    for title, best, factor in rows:
        print(
            f"| {title} | {best['load_image_batch'] * 1e3:.2f} ms | {best['python loop'] * 1e3:.2f} ms | "
            f"{best['ThreadPoolExecutor'] * 1e3:.2f} ms | {factor:.2f}x |"
        )
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
