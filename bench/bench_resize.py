"""Lanczos-3 resize next to Pillow-SIMD and pyvips, side by side in one run.

    ./dev bench resize                  # tables; builds the peers' venv once
    ./dev bench resize --repeat 11 --chart docs/resize_bench.png

The peers live in a venv of their own (bench/setup_peers.sh): Pillow-SIMD
built from its source distribution with AVX2, pyvips with its binary wheel,
matplotlib for the chart. This script re-runs itself there, with the
installed batchaugmentor module put on the path.

Engine against engine: the peer's images are made before timing and its
results are not converted back. "NumPy to NumPy" adds what a NumPy user of
Pillow-SIMD also pays: Image.fromarray before and np.asarray after. Pillow
runs Image.resize(..., LANCZOS, reducing_gap=None); pyvips runs
resize(kernel="lanczos3") from and to memory.

1T: a child process with RAYON_NUM_THREADS=1 and VIPS_CONCURRENCY=1, the
peer in a plain loop. nT: every core, the peer in a ThreadPoolExecutor with
one thread per core. Times are the best of --repeat runs, per image; in
each run the engines take turns, and the one-image split alternates its
one-thread and all-core children, so that a slow spell of the machine
falls on every contender alike.

Multiply-adds are exact for this kernel: one multiply and one add per tap
for three channels of every vertical-pass output (source width x target
height) and every horizontal-pass output (target width x target height).
The core's peak is 16 multiply-adds per cycle (two 8-lane multiplies and two
8-lane adds per cycle on Zen 3 and recent Intel cores, no FMA by design)
at the clock /proc/cpuinfo reports, or the one given with --ghz (a virtual
machine reports its nominal clock; bench/peak_clock.cpp measures the real
one).
"""

import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parent.parent

# (name, batch, source (w, h), target (w, h), frames or 0 for images)
CASES = [
    ("16 x 1920x1080 -> 224x224", 16, (1920, 1080), (224, 224), 0),
    ("4 x 4928x3279 -> 852x567", 4, (4928, 3279), (852, 567), 0),
    ("16 x 1024x768 -> 512x384", 16, (1024, 768), (512, 384), 0),
    ("16 x 320x240 -> 1280x960", 16, (320, 240), (1280, 960), 0),
    ("8 clips x 16 x 1280x720 -> 320x180", 8, (1280, 720), (320, 180), 16),
]
MA_PER_CYCLE = 16


def relaunch_in_peer_venv():
    """Runs this script again in the peers' venv, with our module on its path."""
    import batchaugmentor

    base = getattr(sys, "_base_executable", sys.executable)
    peer_python = subprocess.run(
        ["bash", str(ROOT / "bench" / "setup_peers.sh"), base], check=True, capture_output=True, text=True
    ).stdout.strip()
    with tempfile.TemporaryDirectory() as tmp:
        shutil.copy(batchaugmentor.__file__, tmp)
        env = dict(os.environ, PYTHONPATH=tmp, BA_BENCH_IN_PEERS="1")
        return subprocess.run([peer_python, __file__, *sys.argv[1:]], env=env).returncode


def taps(n_src, n_dst):
    """Total taps of one axis's windows, as the kernel computes and trims them."""
    f = np.float32
    ratio = f(n_src) / f(n_dst)
    support = f(3.0) * (f(1.0) if f(1.0) > ratio else ratio)
    centre = (np.arange(n_dst, dtype=np.float32) + f(0.5)) * ratio
    left = np.clip(np.floor(centre - support).astype(np.int64), 0, n_src - 1)
    right = np.ceil(support + centre).astype(np.int64)
    right = np.where(right <= left, left + 1, np.minimum(right, n_src))
    # The kernel leaves out edge taps of weight zero: samples 3 or more
    # filter units from the centre (at most one at each end).
    stretch = f(1.0) if f(1.0) > ratio else ratio
    c = centre - f(0.5)
    first_zero = ~(np.abs((left.astype(np.float32) - c) / stretch) < f(3.0))
    last_zero = ~(np.abs(((right - 1).astype(np.float32) - c) / stretch) < f(3.0))
    count = right - left
    count = count - (first_zero & (count > 1))  # one tap always stays
    count = count - (last_zero & (count > 1))
    return int(count.sum())


def multiply_adds(src, dst):
    (sw, sh), (tw, th) = src, dst
    return 3 * (sw * taps(sh, th) + th * taps(sw, tw))


def clock_ghz():
    try:
        with open("/proc/cpuinfo") as f:
            mhz = [float(line.split(":")[1]) for line in f if line.startswith("cpu MHz")]
        return max(mhz) / 1000 if mhz else None
    except OSError:
        return None


def cpu_name():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return "unknown processor"


def photo(w, h, seed):
    """Smooth content with noise: the arithmetic does not depend on it, but a
    photo-like image keeps the comparison honest for engines that might."""
    rng = np.random.default_rng(seed)
    y = np.arange(h, dtype=np.float32)[:, None]
    x = np.arange(w, dtype=np.float32)[None, :]
    base = (np.sin(x / rng.uniform(20, 80)) + np.cos(y / rng.uniform(20, 80))) * 60 + 128
    noise = rng.integers(-20, 21, (h, w, 3), dtype=np.int16)
    return np.clip(base[..., None] + noise, 0, 255).astype(np.uint8)


def best_of(repeat, fns):
    """(best, median) seconds of each named callable. The callables take turns
    within every round, in a rotating order, so that the slow spells of a
    shared or virtual machine fall on all of them alike instead of on
    whichever happened to run its repeats then."""
    names = list(fns)
    for name in names:
        fns[name]()  # warm-up: pools, first-touch pages
    times = {name: [] for name in names}
    for r in range(repeat):
        for k in range(len(names)):
            name = names[(r + k) % len(names)]
            t = time.perf_counter()
            fns[name]()
            times[name].append(time.perf_counter() - t)
    return {name: (min(ts), float(np.median(ts))) for name, ts in times.items()}


def measure(repeat, threads):
    """Seconds per image (best, median) for each engine and case."""
    import batchaugmentor as ba
    import pyvips
    from PIL import Image

    pool = ThreadPoolExecutor(max_workers=threads) if threads > 1 else None

    def run_all(fn, items):
        if pool is None:
            return [fn(i) for i in items]
        return list(pool.map(fn, items))

    out = {}
    for name, batch, src, dst, frames in CASES:
        w, h = src
        if frames:
            clips = [np.stack([photo(w, h, 100 * c + f) for f in range(2)] * (frames // 2)) for c in range(batch)]
            arrays = [frame for clip in clips for frame in clip]
            ours = lambda: ba.batch_resize_videos(clips, [dst] * batch)  # noqa: E731
        else:
            arrays = [photo(w, h, i) for i in range(batch)]
            ours = lambda: ba.batch_resize_images(arrays, [dst] * batch)  # noqa: E731
        images = len(arrays)
        pil = [Image.fromarray(a) for a in arrays]

        def pil_engine(im):
            return im.resize(dst, Image.LANCZOS, reducing_gap=None)

        def pil_numpy(a):
            return np.asarray(Image.fromarray(a).resize(dst, Image.LANCZOS, reducing_gap=None))

        def vips(a):
            im = pyvips.Image.new_from_memory(a.data, w, h, 3, "uchar")
            return im.resize(dst[0] / w, vscale=dst[1] / h, kernel="lanczos3").write_to_memory()

        res = best_of(repeat, {
            "batchaugmentor": ours,
            "Pillow-SIMD": lambda: run_all(pil_engine, pil),
            "Pillow-SIMD NumPy to NumPy": lambda: run_all(pil_numpy, arrays),
        })
        res.update(best_of(max(3, repeat // 2), {"pyvips": lambda: run_all(vips, arrays)}))
        out[name] = {k: (b / images, m / images) for k, (b, m) in res.items()}
        print(f"  measured {name} ({threads}T)", file=sys.stderr, flush=True)
    if pool is not None:
        pool.shutdown()
    return out


def one_image(repeat):
    """Best seconds for one large image alone (split across the pool)."""
    import batchaugmentor as ba

    big = photo(4928, 3279, 7)
    return best_of(repeat, {"one": lambda: ba.batch_resize_images([big], [(852, 567)])})["one"][0]


def child(repeat, threads, one):
    json.dump(one_image(repeat) if one else measure(repeat, threads), sys.stdout)


def run_child(repeat, threads, one=False):
    env = dict(os.environ, RAYON_NUM_THREADS=str(threads), VIPS_CONCURRENCY=str(threads))
    done = subprocess.run(
        [sys.executable, __file__, "--child", str(threads), "--repeat", str(repeat)] + (["--one"] if one else []),
        env=env, check=True, capture_output=True, text=True,
    )
    sys.stderr.write(done.stderr)
    return json.loads(done.stdout)


def one_image_split(repeat, cores, rounds=3):
    """One thread against every core for one large image, in children that
    take turns, so that both counts see the machine in the same moods."""
    best = {1: float("inf"), cores: float("inf")}
    for _ in range(rounds):
        for threads in best:
            best[threads] = min(best[threads], run_child(repeat, threads, one=True))
    return best[1], best[cores]


def table(results, ghz, cores, split):
    lines = [
        "| case | threads | ours ms/img | Pillow-SIMD ms/img | Pillow-SIMD / ours | NumPy to NumPy / ours "
        "| pyvips / ours | ours G multiply-adds/s | share of peak |",
        "|---|---|---|---|---|---|---|---|---|",
    ]
    for name, batch, src, dst, frames in CASES:
        ma = multiply_adds(src, dst)
        for threads, res in results:
            r = res[name]
            ours = r["batchaugmentor"][0]
            rate = ma / ours
            share = f"{rate / (MA_PER_CYCLE * ghz * 1e9 * threads):.0%}" if ghz else "n/a"
            lines.append(
                f"| {name} | {threads}T | {ours * 1e3:.2f} | {r['Pillow-SIMD'][0] * 1e3:.2f} "
                f"| **{r['Pillow-SIMD'][0] / ours:.2f}** | {r['Pillow-SIMD NumPy to NumPy'][0] / ours:.2f} "
                f"| {r['pyvips'][0] / ours:.2f} | {rate / 1e9:.1f} | {share} |"
            )
    one, many = split
    lines.append("")
    lines.append(
        f"One 4928x3279 -> 852x567 image alone: {one * 1e3:.1f} ms on 1 thread, {many * 1e3:.1f} ms on "
        f"{cores} ({many / one:.2f} of the single-threaded time)."
    )
    return "\n".join(lines)


def chart(results, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    labels, ours, peer, vips = [], [], [], []
    for name, *_ in CASES:
        for threads, res in results:
            r = res[name]
            labels.append(f"{name}\n{threads}T")
            base = r["Pillow-SIMD"][0]
            ours.append(base / r["batchaugmentor"][0])
            peer.append(1.0)
            vips.append(base / r["pyvips"][0])
    y = np.arange(len(labels))
    fig, ax = plt.subplots(figsize=(9, 0.55 * len(labels) + 1.2))
    ax.barh(y - 0.27, ours, 0.27, label="batchaugmentor")
    ax.barh(y, peer, 0.27, label="Pillow-SIMD (AVX2) LANCZOS")
    ax.barh(y + 0.27, vips, 0.27, label="pyvips lanczos3")
    ax.axvline(1.3, color="grey", linestyle=":", linewidth=1)
    ax.set_yticks(y, labels, fontsize=7)
    ax.invert_yaxis()
    ax.set_xlabel("speed relative to Pillow-SIMD (higher is faster)")
    ax.set_title("Lanczos-3 resize, engine against engine")
    ax.text(1.31, len(labels) - 0.6, "1.3x", fontsize=7, color="grey")
    ax.legend(fontsize=8, loc="upper center", bbox_to_anchor=(0.5, -0.1), ncol=3)
    fig.tight_layout()
    fig.savefig(path, dpi=110, bbox_inches="tight")
    print(f"chart written to {path}")


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--repeat", type=int, default=7)
    ap.add_argument("--chart", help="write a PNG bar chart here")
    ap.add_argument("--ghz", type=float,
                    help="the core clock for the share of peak (default: what /proc/cpuinfo reports; "
                         "bench/peak_clock.cpp measures the real one)")
    ap.add_argument("--replot", action="store_true",
                    help="only redraw --chart and reprint the table from the last run's results")
    ap.add_argument("--child", type=int, help=argparse.SUPPRESS)
    ap.add_argument("--one", action="store_true", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if not os.environ.get("BA_BENCH_IN_PEERS"):
        sys.exit(relaunch_in_peer_venv())
    if args.child:
        child(args.repeat, args.child, args.one)
        return
    saved = ROOT / "bench" / "results" / "resize.json"
    if args.replot:
        last = json.loads(saved.read_text())
        print(table(last["results"], args.ghz or last["ghz"], last["cores"], last["split"]))
        if args.chart:
            chart(last["results"], args.chart)
        return
    import batchaugmentor  # noqa: F401
    import pyvips
    import PIL

    cores = os.cpu_count()
    ghz = args.ghz or clock_ghz()
    results = [(1, run_child(args.repeat, 1)), (cores, run_child(args.repeat, cores))]
    split = one_image_split(args.repeat, cores)
    load = os.getloadavg()[0]
    print(
        f"{cpu_name()}, {cores} logical cores, {ghz or 0:.2f} GHz {'given' if args.ghz else 'reported'}; load average {load:.1f} "
        f"at the end. Pillow-SIMD {PIL.__version__}, pyvips {pyvips.__version__} "
        f"(libvips {pyvips.version(0)}.{pyvips.version(1)}); best of {args.repeat}."
    )
    print()
    print(table(results, ghz, cores, split))
    saved.parent.mkdir(parents=True, exist_ok=True)
    saved.write_text(json.dumps(dict(results=results, ghz=ghz, cores=cores, load=load, split=split)))
    if args.chart:
        chart(results, args.chart)


if __name__ == "__main__":
    main()
