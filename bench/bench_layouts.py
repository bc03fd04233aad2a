"""Every layout at the speed of a contiguous image.

    python bench/bench_layouts.py [--quick] [--count 8] [--shapes]

For 8 photographs of 1920x1080, ms per image for resize to 224x224,
luminance and a centre crop to 1024x1024, each layout side by side with the
contiguous image and with np.ascontiguousarray + the contiguous call, on 1
worker and on all (separate interpreters, since the pool size is fixed when
the pool is built). Best of all rounds; the layouts take turns within each
round. Ratios are to the contiguous image in the same run.

--shapes: the same layouts at other sizes and targets (a small photo, a
12 MP one, a milder shrink, an enlargement; the crop takes the centre
half), one worker, ratios only, so that a gain is seen to hold beyond the
benchmark's own shape.
"""

import argparse
import json
import os
import subprocess
import sys
import time

import numpy as np

import batchaugmentor as ba

H, W = 1080, 1920


def layouts(count, seed=5):
    rng = np.random.default_rng(seed)
    base = [rng.integers(0, 256, size=(H, W, 3), dtype=np.uint8) for _ in range(count)]
    rgba = [np.concatenate([a, np.full((H, W, 1), 255, np.uint8)], axis=2) for a in base]
    chw = [np.ascontiguousarray(a.transpose(2, 0, 1)) for a in base]
    fortran = [np.asfortranarray(a) for a in base]
    tall = [np.ascontiguousarray(a.transpose(1, 0, 2)) for a in base]  # (W, H, 3)
    return {
        "contiguous": base,
        "BGR view a[..., ::-1]": [np.ascontiguousarray(a[..., ::-1])[..., ::-1] for a in base],
        "RGBA slice a[..., :3]": [a[..., :3] for a in rgba],
        "CHW buffer .transpose(1, 2, 0)": [a.transpose(1, 2, 0) for a in chw],
        "Fortran-ordered": fortran,
        "transposed a.transpose(1, 0, 2)": [a.transpose(1, 0, 2) for a in tall],
    }


def operations(count):
    return {
        "resize 224": lambda imgs: ba.batch_resize_images(imgs, [(224, 224)] * count),
        "luminance": lambda imgs: ba.batch_calculate_luminance(imgs),
        "crop 1024": lambda imgs: ba.batch_center_crop_images(imgs, [(1024, 1024)] * count),
    }


def child(quick, count):
    views = layouts(count)
    ops = operations(count)
    rounds = 3 if quick else 7
    best = {}
    for _ in range(rounds):
        for op_name, op in ops.items():
            for name, imgs in views.items():
                for variant, fn in (("ours", lambda: op(imgs)),
                                    ("copy first", lambda: op([np.ascontiguousarray(a) for a in imgs]))):
                    if name == "contiguous" and variant == "copy first":
                        continue
                    start = time.perf_counter()
                    out = fn()
                    elapsed = time.perf_counter() - start
                    key = f"{op_name}|{name}|{variant}"
                    best[key] = min(best.get(key, float("inf")), elapsed / count)
                    del out
    print(json.dumps(best))


SHAPES = [  # (height, width, images, resize target)
    (480, 640, 16, (224, 224)),
    (3000, 4000, 2, (224, 224)),
    (1080, 1920, 4, (960, 540)),
    (600, 800, 8, (1600, 1200)),
]


def shapes_child(quick):
    global H, W
    for h, w, count, target in SHAPES:
        H, W = h, w
        views = layouts(count)
        ops = {"resize": lambda imgs: ba.batch_resize_images(imgs, [target] * count),
               "luminance": lambda imgs: ba.batch_calculate_luminance(imgs),
               "crop": lambda imgs: ba.batch_center_crop_images(imgs, [(w // 2, h // 2)] * count)}
        best = {}
        for _ in range(3 if quick else 5):
            for op_name, op in ops.items():
                for name, imgs in views.items():
                    start = time.perf_counter()
                    out = op(imgs)
                    elapsed = (time.perf_counter() - start) / count
                    best[op_name, name] = min(best.get((op_name, name), float("inf")), elapsed)
                    del out
        for op_name in ops:
            base = best[op_name, "contiguous"]
            cells = "  ".join(f"{name.split()[0]} {best[op_name, name] / base:.2f}" for name in views
                              if name != "contiguous")
            label = f"resize to {target[0]}x{target[1]}" if op_name == "resize" else op_name
            print(f"{f'{w}x{h}':<10} {label:<22} contiguous {base * 1e3:6.2f} ms  {cells}")


def run_child(threads, quick, count):
    env = dict(os.environ, **({} if threads is None else {"RAYON_NUM_THREADS": str(threads)}))
    if threads is None:
        env.pop("RAYON_NUM_THREADS", None)
    env.pop("RAYON_RS_NUM_CPUS", None)
    args = [sys.executable, __file__, "--child", "--count", str(count)] + (["--quick"] if quick else [])
    return json.loads(subprocess.run(args, env=env, check=True, capture_output=True,
                                     text=True).stdout.strip().splitlines()[-1])


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--count", type=int, default=8)
    parser.add_argument("--shapes", action="store_true", help="other sizes and targets, one worker")
    parser.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child and args.shapes:
        shapes_child(args.quick)
        return
    if args.child:
        child(args.quick, args.count)
        return
    if args.shapes:
        env = dict(os.environ, RAYON_NUM_THREADS="1")
        env.pop("RAYON_RS_NUM_CPUS", None)
        print(f"cpus={os.cpu_count()} numpy={np.__version__} python={sys.version.split()[0]} "
              f"load={os.getloadavg()[0]:.2f}; one worker, ratio to the contiguous image")
        subprocess.run([sys.executable, __file__, "--child", "--shapes"] + (["--quick"] if args.quick else []),
                       env=env, check=True)
        return
    # The values are checked once, here, against the contiguous call.
    views = layouts(2)
    for op in operations(2).values():
        want = op(views["contiguous"])
        for name, imgs in views.items():
            got = op(imgs)
            same = all(np.array_equal(a, b) for a, b in zip(got, want)) if isinstance(want[0], np.ndarray) \
                else got == want
            assert same, name
    print(f"cpus={os.cpu_count()} numpy={np.__version__} python={sys.version.split()[0]} "
          f"load={os.getloadavg()[0]:.2f}; {args.count} x {W}x{H}, ms per image (ratio to contiguous)")
    for threads, label in ((1, "1 worker"), (None, f"{os.cpu_count()} workers")):
        best = run_child(threads, args.quick, args.count)
        print(f"\n{label}")
        print(f"{'layout':<34}" + "".join(f"{op:>30}" for op in operations(1)))
        for name in layouts(1):
            cells = []
            for op in operations(1):
                base = best[f"{op}|contiguous|ours"]
                ours = best[f"{op}|{name}|ours"]
                cell = f"{ours * 1e3:7.2f} ({ours / base:4.2f}x)"
                if name != "contiguous":
                    copy = best[f"{op}|{name}|copy first"]
                    cell += f" copy {copy * 1e3:6.2f}"
                cells.append(f"{cell:>30}")
            print(f"{name:<34}" + "".join(cells))


if __name__ == "__main__":
    main()
