"""Files to a batch of 64 arrays of 224x224x3: decode, largest centred
square, antialiased resize to 224. batchaugmentor_io + batchaugmentor
against Pillow and OpenCV, full size and with reduced JPEG decoding.

    ./dev bench pipeline                      # every class, 1 thread and all cores
    ./dev bench pipeline --classes 1080p --repeats 5

Classes: ImageNet-sized JPEG (500x375), 1080p JPEG, 12 MP JPEG (4000x3000),
800x600 PNG; 64 files each (8 distinct pictures, each written 8 times),
written once into a temporary folder and read once before any timing, so
the page cache is warm.

Pipelines (images per second, higher is better):
  ours      batchaugmentor_io.read_image_batch(size=(224, 224), fit="crop")
            (and min_size=(224, 224) in the reduced rows): each worker decodes
            the square (a JPEG only around it) and resizes it (Lanczos, a = 3)
  ours 2 calls  read_image_batch, the squares as views, batchaugmentor's
            batch_resize_images: the same bytes, the full-size arrays in between
  pillow    Image.open (draft() in the reduced rows), convert("RGB"), crop,
            resize(LANCZOS), np.asarray, in a ThreadPoolExecutor
  opencv    file read, cv2.imdecode (IMREAD_REDUCED_COLOR_k in the reduced
            rows), BGR to RGB, crop, cv2.resize(INTER_AREA), in a
            ThreadPoolExecutor (cv2.setNumThreads(0))
  pillow-simd  the pillow pipeline under Pillow-SIMD (AVX2), in the venv
            bench/setup_peers.sh builds (--no-simd leaves it out)

Each thread count runs in a process of its own (the pool's size is fixed
at its first use); inside it the pipelines take turns, round after round,
and each row reports the best round and the median. Short by default: the
machine is shared.
"""

from __future__ import annotations

import argparse
import io
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np

CLASSES = {
    "imagenet": ("JPEG", 500, 375),
    "1080p": ("JPEG", 1920, 1080),
    "12mp": ("JPEG", 4000, 3000),
    "png800": ("PNG", 800, 600),
}
BATCH = 64
SIDE = 224


def picture(width, height, seed):
    """A photograph-like picture: smooth shapes, edges and noise."""
    rng = np.random.default_rng(seed)
    y, x = np.mgrid[0:height, 0:width].astype(np.float32)
    img = np.zeros((height, width, 3), np.float32)
    for _ in range(12):
        cx, cy, r = rng.uniform(0, width), rng.uniform(0, height), rng.uniform(0.05, 0.4) * width
        colour = rng.uniform(0, 255, 3)
        mask = ((x - cx) ** 2 + (y - cy) ** 2) < r * r
        img[mask] = colour
    img += rng.normal(0, 6, img.shape)
    return np.clip(img, 0, 255).astype(np.uint8)


def write_corpus(folder):
    from PIL import Image
    paths = {}
    for name, (fmt, w, h) in CLASSES.items():
        contents = []
        for seed in range(8):
            out = io.BytesIO()
            image = Image.fromarray(picture(w, h, seed))
            if fmt == "JPEG":
                image.save(out, "JPEG", quality=90)
            else:
                image.save(out, "PNG")
            contents.append(out.getvalue())
        paths[name] = []
        for k in range(BATCH):
            p = os.path.join(folder, f"{name}_{k}.{fmt.lower()}")
            with open(p, "wb") as f:
                f.write(contents[k % 8])
            paths[name].append(p)
    return paths


def square(h, w):
    s = min(h, w)
    return (h - s) // 2, (w - s) // 2, s


def ours(paths, reduced, threads):
    import batchaugmentor_io as bio
    return bio.read_image_batch(paths, min_size=(SIDE, SIDE) if reduced else None, size=(SIDE, SIDE), fit="crop")


def ours_two_calls(paths, reduced, threads):
    import batchaugmentor as ba
    import batchaugmentor_io as bio
    images = bio.read_image_batch(paths, min_size=(SIDE, SIDE) if reduced else None)
    views = []
    for a in images:
        y, x, s = square(*a.shape[:2])
        views.append(a[y:y + s, x:x + s])
    return ba.batch_resize_images(views, [(SIDE, SIDE)] * len(views))


def pillow(paths, reduced, threads):
    from PIL import Image

    def one(p):
        with Image.open(p) as im:
            if reduced:
                im.draft("RGB", (SIDE, SIDE))
            im = im.convert("RGB")
            y, x, s = square(im.height, im.width)
            return np.asarray(im.crop((x, y, x + s, y + s)).resize((SIDE, SIDE), Image.LANCZOS))
    with ThreadPoolExecutor(threads) as pool:
        return list(pool.map(one, paths))


def opencv(paths, reduced, threads):
    import cv2
    cv2.setNumThreads(0)

    def flag(w, h):
        # The largest reduction that keeps both sides at or above SIDE.
        for k, f in ((8, cv2.IMREAD_REDUCED_COLOR_8), (4, cv2.IMREAD_REDUCED_COLOR_4),
                     (2, cv2.IMREAD_REDUCED_COLOR_2)):
            if -(-w // k) >= SIDE and -(-h // k) >= SIDE:
                return f
        return cv2.IMREAD_COLOR

    def one(p):
        with open(p, "rb") as f:
            data = np.frombuffer(f.read(), np.uint8)
        mode = cv2.IMREAD_COLOR
        if reduced and p.endswith(".jpeg"):
            _, w, h = CLASSES[os.path.basename(p).split("_")[0]]
            mode = flag(w, h)
        a = cv2.cvtColor(cv2.imdecode(data, mode), cv2.COLOR_BGR2RGB)
        y, x, s = square(*a.shape[:2])
        return cv2.resize(a[y:y + s, x:x + s], (SIDE, SIDE), interpolation=cv2.INTER_AREA)
    with ThreadPoolExecutor(threads) as pool:
        return list(pool.map(one, paths))


PIPELINES = {"ours": ours, "ours 2 calls": ours_two_calls, "pillow": pillow, "opencv": opencv}
# Run by the peers' interpreter (bench/setup_peers.sh), where PIL is Pillow-SIMD.
SIMD_PIPELINES = {"pillow-simd": pillow}
OURS = ("ours", "ours 2 calls")


def worker(args):
    paths = json.loads(args.paths)
    threads = args.threads[0]
    pipelines = SIMD_PIPELINES if args.simd else PIPELINES
    results = {}
    for name in args.classes:
        for reduced in (False, True):
            if reduced and CLASSES[name][0] != "JPEG":
                continue
            times = {p: [] for p in pipelines}
            for p, f in pipelines.items():
                out = f(paths[name], reduced, threads)  # warm-up, and a check
                assert len(out) == BATCH and all(a.shape == (SIDE, SIDE, 3) for a in out), p
            for _ in range(args.repeats):
                for p, f in pipelines.items():
                    t = time.perf_counter()
                    f(paths[name], reduced, threads)
                    times[p].append(time.perf_counter() - t)
            results[f"{name}{' reduced' if reduced else ''}"] = {
                p: (BATCH / min(t), BATCH / statistics.median(t)) for p, t in times.items()}
    print(json.dumps(results))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--classes", nargs="+", default=list(CLASSES), choices=list(CLASSES))
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--threads", nargs="+", type=int, default=[1, os.cpu_count() or 1])
    parser.add_argument("--no-simd", action="store_true",
                        help="leave Pillow-SIMD out (it is built once by bench/setup_peers.sh, a few minutes)")
    parser.add_argument("--worker", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--simd", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--paths", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.worker:
        worker(args)
        return
    with tempfile.TemporaryDirectory() as folder:
        paths = write_corpus(folder)
        for files in paths.values():
            for p in files:
                with open(p, "rb") as f:
                    f.read()
        print(f"{os.cpu_count()} logical processors; best / median images per second over {args.repeats} rounds")
        simd_python = None
        if not args.no_simd:
            here = os.path.dirname(os.path.abspath(__file__))
            simd_python = subprocess.run(["bash", os.path.join(here, "setup_peers.sh"), sys.executable],
                                         check=True, capture_output=True, text=True).stdout.strip()
        names = list(PIPELINES) + (list(SIMD_PIPELINES) if simd_python else [])
        for threads in dict.fromkeys(args.threads):
            env = dict(os.environ, RAYON_NUM_THREADS=str(threads))
            command = [__file__, "--worker", "--threads", str(threads), "--repeats", str(args.repeats),
                       "--classes", *args.classes, "--paths", json.dumps(paths)]
            # Pillow-SIMD cannot share a process with Pillow: its rounds run
            # in a process of their own, right after ours.
            runs = [[sys.executable, *command]] + ([[simd_python, *command, "--simd"]] if simd_python else [])
            results = {}
            for run in runs:
                done = subprocess.run(run, env=env, capture_output=True, text=True)
                if done.returncode != 0:
                    sys.exit(done.stderr)
                for row, r in json.loads(done.stdout.strip().splitlines()[-1]).items():
                    results.setdefault(row, {}).update(r)
            print(f"\n{threads} thread(s)")
            print(f"{'class':<18}" + "".join(f"{p:>18}" for p in names) + f"{'ours / best peer':>18}")
            for row, r in results.items():
                best_peer = max(v[0] for p, v in r.items() if p not in OURS)
                cells = "".join(f"{r[p][0]:>9.1f} /{r[p][1]:>7.1f}" for p in names)
                print(f"{row:<18}{cells}{r['ours'][0] / best_peer:>17.2f}x")


if __name__ == "__main__":
    main()
