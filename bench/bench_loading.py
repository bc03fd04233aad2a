"""Reading many small files and a few large ones: load_image_batch against plain Python.

    python bench/bench_loading.py                 # 500 x 100 KB and 20 x 20 MB
    python bench/bench_loading.py --repeats 9 --dir /some/disk

The files are written once into a temporary folder and read once before any
timing, so every contender reads from a warm page cache. Each contender runs
the whole file list `--repeats` times; the table shows the best and the
median run. All contenders must return the same bytes, or the run fails.
"""

from __future__ import annotations

import argparse
import os
import shutil
import statistics
import sys
import tempfile
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import batchaugmentor as ba


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


def write_files(folder: Path, count: int, size: int, tag: str) -> list[str]:
    paths = []
    chunk = os.urandom(min(size, 1 << 20))
    for i in range(count):
        path = folder / f"{tag}_{i:04d}.bin"
        with open(path, "wb") as f:
            remaining = size
            # Vary the first bytes so that no two files are identical.
            f.write(i.to_bytes(4, "little"))
            remaining -= 4
            while remaining > 0:
                piece = chunk[: min(remaining, len(chunk))]
                f.write(piece)
                remaining -= len(piece)
        paths.append(str(path))
    return paths


def measure(reader, paths: list[str], repeats: int) -> tuple[list[float], list[bytes]]:
    times = []
    result = []
    for _ in range(repeats):
        result = None  # free the previous run's bytes before timing the next
        start = time.perf_counter()
        result = reader(paths)
        times.append(time.perf_counter() - start)
    return times, result


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=7)
    parser.add_argument("--dir", type=Path, default=None, help="where to write the files (default: system temp)")
    args = parser.parse_args()

    workloads = [("500 x 100 KB", 500, 100 * 1024, "small"), ("20 x 20 MB", 20, 20 * 1024 * 1024, "large")]
    folder = Path(tempfile.mkdtemp(prefix="bench_loading_", dir=args.dir))
    workers = os.cpu_count() or 1
    print(f"{workers} logical processors, {args.repeats} runs each, files in {folder}")
    pool = ThreadPoolExecutor()  # Python's default size: min(32, cpu_count + 4)
    contenders = [
        ("python loop", python_loop),
        ("ThreadPoolExecutor", make_thread_pool_reader(pool)),
        ("load_image_batch", load_image_batch),
    ]
    failed = False
    try:
        for title, count, size, tag in workloads:
            paths = write_files(folder, count, size, tag)
            expected = python_loop(paths)  # also warms the page cache
            total_mb = count * size / 1e6
            print(f"\n{title} ({total_mb:.0f} MB)")
            print(f"  {'contender':<20} {'best':>9} {'median':>9} {'GB/s (best)':>12}")
            best = {}
            for name, reader in contenders:
                times, result = measure(reader, paths, args.repeats)
                if result != expected:
                    print(f"  {name}: returned different bytes", file=sys.stderr)
                    failed = True
                best[name] = min(times)
                print(
                    f"  {name:<20} {min(times) * 1e3:6.1f} ms {statistics.median(times) * 1e3:6.1f} ms "
                    f"{total_mb / 1e3 / min(times):12.2f}"
                )
                del result
            peer = min(best["python loop"], best["ThreadPoolExecutor"])
            print(f"  load_image_batch vs the better Python reader: {peer / best['load_image_batch']:.2f}x")
            for p in paths:
                os.unlink(p)
    finally:
        pool.shutdown()
        shutil.rmtree(folder, ignore_errors=True)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
