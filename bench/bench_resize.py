"""Lanczos resize throughput next to Pillow and OpenCV, in one run.

Needs: numpy, pillow, opencv-python-headless (pip install pillow
opencv-python-headless) and an installed batchaugmentor.

    python bench/bench_resize.py            # batch and single-threaded tables
    python bench/bench_resize.py --repeat 20

Batch: 16 images per call; batchaugmentor uses its own pool, Pillow runs
Image.resize(..., Image.LANCZOS, reducing_gap=None) in a thread pool with one
thread per core, OpenCV uses its own threads. Single-threaded: the same script
in a child process with RAYON_NUM_THREADS=1 (read when the pool is built),
Pillow in a plain loop and cv2.setNumThreads(1). Times are the best of
--repeat runs, per image.

The arithmetic count is exact for this kernel: one multiply and one add per
tap for three channels of every vertical-pass output (source width x target
height) and every horizontal-pass output (target width x target height).
"""

import argparse
import os
import subprocess
import sys
import time
from concurrent.futures import ThreadPoolExecutor

import cv2
import numpy as np
from PIL import Image

import batchaugmentor as ba

CASES = [((1920, 1080), (224, 224)), ((320, 240), (1280, 960))]
BATCH = 16


def taps(n_src, n_dst):
    """Total taps of one axis's windows (their bounds only, as the kernel computes them)."""
    f = np.float32
    ratio = f(n_src) / f(n_dst)
    support = f(3.0) * (f(1.0) if f(1.0) > ratio else ratio)
    centre = (np.arange(n_dst, dtype=np.float32) + f(0.5)) * ratio
    left = np.clip(np.floor(centre - support).astype(np.int64), 0, n_src - 1)
    right = np.ceil(support + centre).astype(np.int64)
    right = np.where(right <= left, left + 1, np.minimum(right, n_src))
    return int((right - left).sum())


def flops(src, dst):
    (sw, sh), (tw, th) = src, dst
    return 2 * 3 * (sw * taps(sh, th) + th * taps(sw, tw))


def images_for(size, seed):
    w, h = size
    rng = np.random.default_rng(seed)
    # Smooth content with noise: the arithmetic does not depend on it, but a
    # photo-like image keeps the comparison honest for libraries that might.
    y, x = np.mgrid[0:h, 0:w]
    out = []
    for _ in range(BATCH):
        base = (np.sin(x / rng.uniform(20, 80)) + np.cos(y / rng.uniform(20, 80))) * 60 + 128
        img = np.clip(base[..., None] + rng.normal(0, 20, (h, w, 3)), 0, 255).astype(np.uint8)
        out.append(img)
    return out


def best_of(repeat, fn):
    fn()  # warm-up: pools, first-touch pages
    best = float("inf")
    for _ in range(repeat):
        t = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - t)
    return best


def measure(repeat, single):
    cores = 1 if single else os.cpu_count()
    if single:
        cv2.setNumThreads(1)
    rows = []
    pool = ThreadPoolExecutor(max_workers=cores)
    for src, dst in CASES:
        images = images_for(src, 1)
        pil_images = [Image.fromarray(a) for a in images]
        targets = [dst] * BATCH

        def pillow_one(im):
            return im.resize(dst, Image.LANCZOS, reducing_gap=None)

        if single:
            pillow = lambda: [pillow_one(im) for im in pil_images]  # noqa: E731
        else:
            pillow = lambda: list(pool.map(pillow_one, pil_images))  # noqa: E731
        results = {
            "batchaugmentor": best_of(repeat, lambda: ba.batch_resize_images(images, targets)),
            "Pillow LANCZOS": best_of(repeat, pillow),
            "cv2 INTER_LANCZOS4": best_of(
                repeat, lambda: [cv2.resize(a, dst, interpolation=cv2.INTER_LANCZOS4) for a in images]
            ),
            "cv2 INTER_AREA": best_of(
                repeat, lambda: [cv2.resize(a, dst, interpolation=cv2.INTER_AREA) for a in images]
            ),
        }
        rows.append((src, dst, {k: v / BATCH for k, v in results.items()}))
    pool.shutdown()
    return rows, cores


def report(title, rows, cores):
    print(f"\n{title} ({cores} thread{'s' if cores > 1 else ''}), ms per image, best of runs")
    for src, dst, res in rows:
        ours = res["batchaugmentor"]
        out_pixels = dst[0] * dst[1]
        fl = flops(src, dst)
        print(f"  {src[0]}x{src[1]} -> {dst[0]}x{dst[1]}  ({fl / 1e6:.1f} MFLOP per image)")
        for name, t in res.items():
            extra = "" if name == "batchaugmentor" else f"   {t / ours:5.2f}x our time"
            print(f"    {name:20s} {t * 1e3:8.3f} ms{extra}")
        per_core = out_pixels / (ours * cores)
        print(f"    batchaugmentor: {per_core / 1e6:.1f} Mpixel/s output per core, "
              f"{fl / (ours * cores) / 1e9:.1f} GFLOP/s per core")


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--repeat", type=int, default=10)
    ap.add_argument("--single", action="store_true", help="(internal) single-threaded part only")
    args = ap.parse_args()
    if args.single:
        report("Single-threaded", *measure(args.repeat, single=True))
        return
    print(f"batchaugmentor vs Pillow {Image.__version__} and OpenCV {cv2.__version__}, "
          f"{os.cpu_count()} logical cores")
    report("Batch of 16", *measure(args.repeat, single=False))
    sys.stdout.flush()
    env = dict(os.environ, RAYON_NUM_THREADS="1")
    subprocess.run([sys.executable, __file__, "--single", "--repeat", str(args.repeat)],
                   env=env, check=True)


if __name__ == "__main__":
    main()
