"""Reading files whole: load_image_batch against the Python ways of doing it, side by side.

    python bench/bench_loading.py                  # every workload, best of 20
    python bench/bench_loading.py --repeats 9 --dir /some/disk --only "one 20 MB"

Workloads: the eight scikit-image photographs the demo reads (found without
importing scikit-image; `pip install --no-deps scikit-image` provides them,
otherwise random files of the same sizes stand in), the same list ten times,
500 x 100 KB, 20 x 20 MB, 2,000 x 8 KB and one 20 MB file. The generated
files are written once into a temporary folder and every list is read once
before any timing, so every contender reads from a warm page cache.

Each contender runs in a process of its own, so that what one reader leaves
in the C library's heap (kept or given back, thresholds raised) cannot speed
up or slow down the next; inside it, the repeats run back to back after one
untimed run, as a training loop calls the same reader over and over, and
what the allocator keeps warm between calls is part of each reader's cost.
Two such processes per contender, taking turns with the others, so that a
burst of load from elsewhere is less likely to hit only one of them.

Each row shows the best and the median run and the spread (median over
best, minus one) as the noise of this run; the factor is the better Python
reader's best time over load_image_batch's. CPU is the time all threads of
the process spent in the best run (user and system), which a busy machine
does not inflate the way it does the elapsed time; faults are the minor page
faults of the median run (fresh pages the kernel had to supply). All
contenders must return the same bytes, or the run fails.
"""

from __future__ import annotations

import argparse
import hashlib
import importlib.util
import json
import os
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path


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


def digest(contents: list[bytes | None]) -> str:
    h = hashlib.sha256()
    for c in contents:
        # No concatenation: a copy of each file would disturb the heap being measured.
        h.update(b"-" if c is None else len(c).to_bytes(8, "little"))
        if c is not None:
            h.update(c)
    return h.hexdigest()


def make_reader(name: str):
    if name == "python loop":
        return python_loop, None
    if name == "ThreadPoolExecutor":
        pool = ThreadPoolExecutor()  # Python's default size: min(32, cpu_count + 4)
        return make_thread_pool_reader(pool), pool
    import batchaugmentor as ba

    return ba.load_image_batch, None


def child(name: str, list_file: str, repeats: int) -> int:
    """Times one reader on one list, in this process only; prints JSON."""
    with open(list_file) as f:
        job = json.load(f)
    paths = job["paths"]
    reader, pool = make_reader(name)
    times, cpu, faults = [], [], []
    try:
        result = reader(paths)
        same = digest(result) == job["digest"]
        for _ in range(repeats):
            result = None  # free the previous run's bytes before timing the next
            start_faults = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
            start, start_cpu = time.perf_counter(), time.process_time()
            result = reader(paths)
            times.append(time.perf_counter() - start)
            cpu.append(time.process_time() - start_cpu)
            faults.append(resource.getrusage(resource.RUSAGE_SELF).ru_minflt - start_faults)
    finally:
        if pool is not None:
            pool.shutdown()
    print(json.dumps({"same": same, "times": times, "cpu": cpu, "faults": faults}))
    return 0


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
    package = importlib.util.find_spec("skimage")
    if package is not None and package.submodule_search_locations:
        data = Path(next(iter(package.submodule_search_locations))) / "data"
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


CONTENDERS = ("python loop", "ThreadPoolExecutor", "load_image_batch")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=20)
    parser.add_argument("--dir", type=Path, default=None, help="where to write the files (default: system temp)")
    parser.add_argument("--only", default=None, help="run only the workloads whose title contains this")
    parser.add_argument("--child", nargs=2, metavar=("CONTENDER", "LIST"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        return child(args.child[0], args.child[1], args.repeats)

    folder = Path(tempfile.mkdtemp(prefix="bench_loading_", dir=args.dir))
    print(
        f"{os.cpu_count()} logical processors, load average {os.getloadavg()[0]:.2f}, "
        f"best of {args.repeats}, Python {sys.version.split()[0]}, each reader in its own process"
    )
    rows = []
    failed = False
    try:
        for title, paths in workloads(folder):
            if args.only and args.only not in title:
                continue
            list_file = folder / "list.json"
            with open(list_file, "w") as f:
                json.dump({"paths": paths, "digest": digest(python_loop(paths))}, f)  # also warms the page cache
            times = {name: [] for name in CONTENDERS}
            cpu = {name: [] for name in CONTENDERS}
            faults = {name: [] for name in CONTENDERS}
            for _ in range(2):
                for name in CONTENDERS:
                    out = subprocess.run(
                        [sys.executable, __file__, "--child", name, str(list_file),
                         "--repeats", str((args.repeats + 1) // 2)],
                        check=True, capture_output=True, text=True,
                    )
                    got = json.loads(out.stdout.strip().splitlines()[-1])
                    if not got["same"]:
                        print(f"  {name}: returned different bytes for {title}", file=sys.stderr)
                        failed = True
                    times[name] += got["times"]
                    cpu[name] += got["cpu"]
                    faults[name] += got["faults"]
            total_mb = sum(os.path.getsize(p) for p in paths) / 1e6
            print(f"\n{title} ({total_mb:.1f} MB), load average {os.getloadavg()[0]:.2f}")
            print(f"  {'contender':<20} {'best':>10} {'median':>10} {'spread':>7} {'GB/s (best)':>12} {'CPU (best)':>11} {'faults':>8}")
            for name in CONTENDERS:
                best, median = min(times[name]), statistics.median(times[name])
                print(
                    f"  {name:<20} {best * 1e3:7.2f} ms {median * 1e3:7.2f} ms {median / best - 1:6.0%} "
                    f"{total_mb / 1e3 / best:12.2f} {min(cpu[name]) * 1e3:8.2f} ms {statistics.median(faults[name]):8.0f}"
                )
            peer_name = min(("python loop", "ThreadPoolExecutor"), key=lambda n: min(times[n]))
            factor = min(times[peer_name]) / min(times["load_image_batch"])
            median_factor = statistics.median(times[peer_name]) / statistics.median(times["load_image_batch"])
            print(f"  load_image_batch vs {peer_name}: {factor:.2f}x (medians: {median_factor:.2f}x)")
            rows.append((title, {n: min(t) for n, t in times.items()}, factor, median_factor))
    finally:
        shutil.rmtree(folder, ignore_errors=True)

    print(f"\nload average at the end {os.getloadavg()[0]:.2f}")
    print("| files | `load_image_batch` | loop of `open(p, \"rb\").read()` | ThreadPoolExecutor | factor (best) | factor (medians) |")
    print("|---|---|---|---|---|---|")
    for title, best, factor, median_factor in rows:
        print(
            f"| {title} | {best['load_image_batch'] * 1e3:.2f} ms | {best['python loop'] * 1e3:.2f} ms | "
            f"{best['ThreadPoolExecutor'] * 1e3:.2f} ms | {factor:.2f}x | {median_factor:.2f}x |"
        )
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
