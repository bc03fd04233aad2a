"""How much the worker pool costs and what it buys, against the obvious peers.

    python bench/bench_parallel.py [--quick]

Prints one table:
  * per-item time of a batch of trivial items, against
    concurrent.futures.ThreadPoolExecutor.map of the same work;
  * the round trip of a two-item call (handed to the pool) next to a
    one-item call (run on the calling thread);
  * batch_calculate_luminance on large images with the default pool against
    RAYON_NUM_THREADS=1 (separate interpreters, since the pool size is fixed
    when the pool is built);
  * whole batch calls against NumPy doing the same work in the same process:
    luminance of 16 images of 1920x1080 and centre crops of 64 such images;
  * centre crops against NumPy's contiguous copy of the same view
    (np.ascontiguousarray(a[y:y+h, x:x+w]) in a loop), small, 1080p and
    12 MP, on 1 worker and on all (separate interpreters), the two
    alternating within each round, best of all rounds.
"""

import argparse
import concurrent.futures
import json
import os
import resource
import statistics
import subprocess
import sys
import time

import numpy as np

import batchaugmentor

BT601 = np.array([0.299, 0.587, 0.114])


def timed(fn, repeats):
    """Best and median wall time of `repeats` runs of fn(), after a warm-up."""
    fn()
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return min(times), statistics.median(times)


def numpy_luminance(a):
    return float((a[..., :3] @ BT601).mean())


def large_images(count, seed=1):
    rng = np.random.default_rng(seed)
    return [rng.integers(0, 256, size=(1080, 1920, 3), dtype=np.uint8) for _ in range(count)]


def child_luminance(repeats):
    """Run in a fresh interpreter: times the large-image luminance batch."""
    images = large_images(16)
    before = resource.getrusage(resource.RUSAGE_SELF)
    best, median = timed(lambda: batchaugmentor.batch_calculate_luminance(images), repeats)
    after = resource.getrusage(resource.RUSAGE_SELF)
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    threads = len(os.listdir("/proc/self/task"))
    # CPU time per wall second over the timed runs: how many cores the batch
    # actually got, which on a shared machine can be fewer than it has workers.
    print(json.dumps({"best": best, "median": median, "threads": threads,
                      "cores_used": cpu / (median * (repeats + 1))}))


# (count, source height, source width, crop side, rounds)
CROP_CASES = [
    (64, 96, 96, 64, 300),
    (32, 1080, 1920, 1024, 15),
    (16, 3000, 4000, 3000, 5),
]


def child_crops(quick):
    """Run in a fresh interpreter: ours and NumPy's centre crops, alternating."""
    rng = np.random.default_rng(3)
    results = []
    for count, h, w, side, rounds in CROP_CASES:
        rounds = max(3, rounds // 5) if quick else rounds
        images = [rng.integers(0, 256, size=(h, w, 3), dtype=np.uint8) for _ in range(count)]
        sizes = [(side, side)] * count
        y, x = (h - side) // 2, (w - side) // 2

        def ours():
            return batchaugmentor.batch_center_crop_images(images, sizes)

        def numpy_copies():
            return [np.ascontiguousarray(a[y:y + side, x:x + side]) for a in images]

        assert all(np.array_equal(a, b) for a, b in zip(ours(), numpy_copies()))
        best = {"ours": float("inf"), "numpy": float("inf")}
        for _ in range(rounds):
            for name, fn in (("ours", ours), ("numpy", numpy_copies)):
                start = time.perf_counter()
                out = fn()
                best[name] = min(best[name], time.perf_counter() - start)
                del out
        results.append({"case": f"{count} x {w}x{h} -> {side}x{side}", **best})
        del images
    print(json.dumps(results))


def in_child(threads, *args):
    """This script run with `args` in a fresh interpreter whose pool has
    `threads` workers (None: the default); the JSON it printed last."""
    env = dict(os.environ)
    env.pop("RAYON_RS_NUM_CPUS", None)
    if threads is None:
        env.pop("RAYON_NUM_THREADS", None)
    else:
        env["RAYON_NUM_THREADS"] = str(threads)
    out = subprocess.run([sys.executable, __file__, *map(str, args)],
                         env=env, check=True, capture_output=True, text=True)
    return json.loads(out.stdout.strip().splitlines()[-1])


def crops_in_child(threads, quick):
    return in_child(threads, "--child-crops", *(["--quick"] if quick else []))


def row(name, ours, peer, peer_name):
    ratio = peer / ours if ours > 0 else float("inf")
    print(f"{name:<44} {ours * 1e6:>12.2f} us {peer * 1e6:>12.2f} us  {ratio:>6.2f}x  (vs {peer_name})")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help="fewer repeats")
    parser.add_argument("--child-luminance", type=int, help=argparse.SUPPRESS)
    parser.add_argument("--child-crops", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--crops-only", action="store_true", help="only the crop comparison")
    args = parser.parse_args()
    if args.child_luminance:
        child_luminance(args.child_luminance)
        return
    if args.child_crops:
        child_crops(args.quick)
        return
    if args.crops_only:
        print(f"cpus={os.cpu_count()} numpy={np.__version__} python={sys.version.split()[0]}")
        crop_table(args.quick)
        return

    repeats = 5 if args.quick else 15
    workers = os.cpu_count()
    print(f"cpus={workers} numpy={np.__version__} python={sys.version.split()[0]}")
    print(f"{'case':<44} {'batchaugmentor':>15} {'peer':>15}  {'speed-up':>7}")

    # Trivial items: the per-item cost of splitting, stealing and collecting.
    tiny = [np.full((1, 1, 3), i % 256, np.uint8) for i in range(20000)]
    ours, _ = timed(lambda: batchaugmentor.batch_calculate_luminance(tiny), repeats)
    with concurrent.futures.ThreadPoolExecutor(max_workers=workers) as pool:
        peer, _ = timed(lambda: list(pool.map(numpy_luminance, tiny)), max(3, repeats // 3))
    row("trivial item, per item (20000 items)", ours / len(tiny), peer / len(tiny),
        "ThreadPoolExecutor.map")

    # Round trips.
    pair = tiny[:2]
    one = tiny[:1]
    calls = 2000 if args.quick else 10000

    def many(batch):
        def run():
            for _ in range(calls):
                batchaugmentor.batch_calculate_luminance(batch)
        return run

    two_best, _ = timed(many(pair), 3)
    one_best, _ = timed(many(one), 3)
    row("two-item call round trip", two_best / calls, one_best / calls, "one-item call, no pool")

    # Parallel speed-up on large images, pool size fixed per process.
    serial = in_child(1, "--child-luminance", repeats)
    parallel = in_child(None, "--child-luminance", repeats)
    row(f"16 x 1920x1080 luminance, {workers} workers", parallel["best"], serial["best"],
        "RAYON_NUM_THREADS=1")
    print(f"{'':<44} cores busy: {parallel['cores_used']:.2f} with {workers} workers, "
          f"{serial['cores_used']:.2f} with 1")

    # Whole batches against NumPy in this process.
    images = large_images(16)
    ours, _ = timed(lambda: batchaugmentor.batch_calculate_luminance(images), repeats)
    peer, _ = timed(lambda: [numpy_luminance(a) for a in images], max(3, repeats // 3))
    row("16 x 1920x1080 luminance, whole batch", ours, peer, "NumPy per image")

    crop_images = large_images(64, seed=2)
    sizes = [(512, 512)] * len(crop_images)

    def numpy_crops():
        out = []
        for a in crop_images:
            y = (a.shape[0] - 512) // 2
            x = (a.shape[1] - 512) // 2
            out.append(np.ascontiguousarray(a[y:y + 512, x:x + 512]))
        return out

    ours, _ = timed(lambda: batchaugmentor.batch_center_crop_images(crop_images, sizes), repeats)
    peer, _ = timed(numpy_crops, repeats)
    row("64 x 1920x1080 centre crop to 512x512", ours, peer, "NumPy per image")
    del crop_images

    crop_table(args.quick)


def crop_table(quick):
    workers = os.cpu_count()
    for threads, label in ((1, "1 worker"), (None, f"{workers} workers")):
        for r in crops_in_child(threads, quick):
            row(f"centre crop {r['case']}, {label}", r["ours"], r["numpy"], "np.ascontiguousarray")


if __name__ == "__main__":
    main()
