"""Prepare a folder of photographs for a model, with batchaugmentor and with Pillow alone.

    python examples/demo.py                  # the photographs that scikit-image ships
    python examples/demo.py ~/Pictures/cats  # your own folder
    python examples/demo.py --output out --size 160 --batch-size 8

Both pipelines load the files, decode them, cut the largest centred
square, resize it to SIZE x SIZE with a Lanczos kernel and measure its mean
luminance. batchaugmentor does the loading, decoding (with its companion
module batchaugmentor_io when the build has it; Pillow otherwise, and for
formats other than JPEG, PNG and WebP), cropping, resizing and measuring a
batch at a time on its own threads; the Pillow pipeline does them image by
image. The script writes the first few results as PNG files
and a contact sheet of all of them into the output folder, then prints what
it did and how long each stage took in each pipeline.
"""

from __future__ import annotations

import argparse
import importlib.util
import io
import sys
import textwrap
import time
from dataclasses import dataclass, field
from pathlib import Path

try:
    import numpy as np
    from PIL import Image, ImageDraw, ImageStat
except ImportError as missing:  # pragma: no cover - the message is the point
    sys.exit(f"This demo needs NumPy and Pillow: pip install numpy pillow ({missing})")

import batchaugmentor as ba

try:
    import batchaugmentor_io as bio
except ImportError:  # a build without the decoders (the release wheel, for now)
    bio = None

# Real photographs in scikit-image's wheel (its other data files are
# synthetic patterns, textures or arrays). Whatever of these is present is used.
SKIMAGE_PHOTOGRAPHS = (
    "astronaut.png",
    "chelsea.png",
    "coffee.png",
    "rocket.jpg",
    "retina.jpg",
    "hubble_deep_field.jpg",
    "motorcycle_left.png",
    "camera.png",
)
IMAGE_SUFFIXES = {".png", ".jpg", ".jpeg", ".bmp", ".gif", ".tif", ".tiff", ".webp", ".ppm"}
SAVED_RESULTS = 4


def skimage_photographs() -> list[Path]:
    # find_spec locates the package without importing it: importing skimage
    # pulls in SciPy and takes seconds, and only its data folder is wanted.
    package = importlib.util.find_spec("skimage")
    if package is None or not package.submodule_search_locations:
        sys.exit(
            "No folder given and scikit-image is not installed.\n"
            "Either pass a folder of images: python examples/demo.py PATH\n"
            "or install the sample photographs alone: pip install --no-deps scikit-image"
        )
    data = Path(next(iter(package.submodule_search_locations))) / "data"
    found = [data / name for name in SKIMAGE_PHOTOGRAPHS if (data / name).is_file()]
    if not found:
        sys.exit(f"scikit-image is installed but none of its photographs are in {data}")
    return found


def images_in(folder: Path) -> list[Path]:
    if not folder.is_dir():
        sys.exit(f"Not a folder: {folder}")
    found = sorted(p for p in folder.iterdir() if p.suffix.lower() in IMAGE_SUFFIXES and p.is_file())
    if not found:
        sys.exit(f"No image files ({', '.join(sorted(IMAGE_SUFFIXES))}) in {folder}")
    return found


def batches(items: list, size: int):
    for start in range(0, len(items), size):
        yield items[start : start + size]


@dataclass
class Timings:
    seconds: dict[str, float] = field(default_factory=dict)
    fastest_run: float = float("inf")

    def add(self, stage: str, since: float) -> None:
        self.seconds[stage] = self.seconds.get(stage, 0.0) + time.perf_counter() - since

    def keep_fastest(self, other: "Timings") -> None:
        for stage, seconds in other.seconds.items():
            self.seconds[stage] = min(seconds, self.seconds.get(stage, seconds))
        self.fastest_run = min(self.fastest_run, sum(other.seconds.values()))


@dataclass
class Result:
    pixels: list[np.ndarray]  # SIZE x SIZE x 3, uint8
    luminance: list[float]
    skipped: list[Path]


def decode(data: bytes) -> Image.Image | None:
    try:
        with Image.open(io.BytesIO(data)) as image:
            return image.convert("RGB")
    except (OSError, ValueError, Image.DecompressionBombError):
        return None


def run_batchaugmentor(paths: list[Path], size: int, batch_size: int, t: Timings) -> Result:
    result = Result([], [], [])
    for group in batches(paths, batch_size):
        start = time.perf_counter()
        contents = ba.load_image_batch([str(p) for p in group])
        t.add("load", start)

        start = time.perf_counter()
        arrays = []
        decoded = bio.decode_image_batch(contents) if bio is not None else [None] * len(contents)
        for path, data, array in zip(group, contents, decoded):
            if array is None:  # not JPEG, PNG or WebP (or no batchaugmentor_io): Pillow
                image = decode(data) if data is not None else None
                array = np.asarray(image) if image is not None else None
            if array is None:
                result.skipped.append(path)
            else:
                arrays.append(array)
        t.add("decode", start)
        if not arrays:
            continue

        start = time.perf_counter()
        sides = [min(a.shape[:2]) for a in arrays]
        crops = ba.batch_center_crop_images(arrays, [(s, s) for s in sides])
        t.add("centre crop", start)

        start = time.perf_counter()
        resized = ba.batch_resize_images(crops, [(size, size)] * len(crops))
        t.add("resize", start)

        start = time.perf_counter()
        result.luminance += ba.batch_calculate_luminance(resized)
        t.add("luminance", start)
        result.pixels += resized
    return result


def run_pillow(paths: list[Path], size: int, batch_size: int, t: Timings) -> Result:
    result = Result([], [], [])
    for group in batches(paths, batch_size):
        start = time.perf_counter()
        contents = []
        for path in group:
            try:
                with open(path, "rb") as f:
                    contents.append(f.read())
            except OSError:
                contents.append(None)
        t.add("load", start)

        start = time.perf_counter()
        images = []
        for path, data in zip(group, contents):
            image = decode(data) if data is not None else None
            if image is None:
                result.skipped.append(path)
            else:
                images.append(image)
        t.add("decode", start)

        start = time.perf_counter()
        crops = []
        for image in images:
            side = min(image.size)
            left, top = (image.width - side) // 2, (image.height - side) // 2
            crops.append(image.crop((left, top, left + side, top + side)))
        t.add("centre crop", start)

        start = time.perf_counter()
        resized = [c.resize((size, size), Image.Resampling.LANCZOS) for c in crops]
        t.add("resize", start)

        start = time.perf_counter()
        result.luminance += [ImageStat.Stat(r.convert("L")).mean[0] for r in resized]
        t.add("luminance", start)
        result.pixels += [np.asarray(r) for r in resized]
    return result


def contact_sheet(pixels: list[np.ndarray], labels: list[str], size: int) -> Image.Image:
    columns = min(4, len(pixels))
    rows = -(-len(pixels) // columns)
    caption, gap = 16, 6
    sheet = Image.new("RGB", (columns * (size + gap) + gap, rows * (size + caption + gap) + gap), "white")
    draw = ImageDraw.Draw(sheet)
    for i, (tile, label) in enumerate(zip(pixels, labels)):
        x = gap + (i % columns) * (size + gap)
        y = gap + (i // columns) * (size + caption + gap)
        sheet.paste(Image.fromarray(tile), (x, y))
        draw.text((x + 2, y + size + 2), label, fill="black")
    return sheet


STAGE_NOTES = {
    "load": (
        "read each file's bytes: load_image_batch on the pool vs a Python loop of open().read(). "
        "A few files come from the page cache in well under a millisecond, about what it costs "
        "to wake the pool's threads and give the bytes objects fresh memory; the pool pays off "
        "with hundreds of files (docs/performance.md)"
    ),
    "decode": (
        "batchaugmentor_io decodes a batch on the pool straight into NumPy arrays (when the build "
        "has it; without it Pillow decodes on both sides, and batchaugmentor's side also copies "
        "each image into a NumPy array); Pillow decodes one image at a time"
    ),
    "centre crop": (
        "a crop is a copy of the square: memory traffic, not arithmetic. batchaugmentor's "
        "workers copy into native memory and the calling thread then copies each result into "
        "its NumPy array, twice Pillow's traffic, so at this size it is no faster than Pillow"
    ),
    "resize": (
        "Lanczos-3 on both sides; batchaugmentor computes it in vector registers on every "
        "worker thread, Pillow on one thread"
    ),
    "luminance": "one weighted sum per pixel; Pillow first converts each image to an 8-bit grey image",
}


def print_table(ours: Timings, pillow: Timings, images: int) -> None:
    stages = ["load", "decode", "centre crop", "resize", "luminance"]
    print(f"\n{'stage':<12} {'batchaugmentor':>15} {'Pillow alone':>13} {'speed-up':>9}")
    for stage in stages:
        a, b = ours.seconds.get(stage, 0.0), pillow.seconds.get(stage, 0.0)
        ratio = f"{b / a:8.1f}x" if a > 0 else "        -"
        print(f"{stage:<12} {a * 1e3:12.1f} ms {b * 1e3:10.1f} ms {ratio}")
    a, b = ours.fastest_run, pillow.fastest_run
    print(f"{'whole run':<12} {a * 1e3:12.1f} ms {b * 1e3:10.1f} ms {b / a:8.1f}x")
    print(
        f"\nEnd to end: {images / a:.1f} images/s with batchaugmentor, {images / b:.1f} images/s "
        f"with Pillow alone ({b / a:.1f}x), fastest whole run of each."
    )
    print("\nColumns: milliseconds for all images, fastest of the timed runs for each stage;")
    print("speed-up is Pillow's time over batchaugmentor's (below 1 means Pillow was faster).")
    for stage in stages:
        print(textwrap.fill(STAGE_NOTES[stage], width=92, initial_indent=f"  {stage + ':':<13}",
                            subsequent_indent=" " * 15))


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("folder", nargs="?", type=Path, help="folder of image files (default: scikit-image's photographs)")
    parser.add_argument("--output", type=Path, default=Path("demo_output"), help="where to write results (default: demo_output)")
    parser.add_argument("--size", type=int, default=224, help="side of the square results in pixels (default: 224)")
    parser.add_argument("--batch-size", type=int, default=16, help="images per batch (default: 16)")
    parser.add_argument("--runs", type=int, default=5, help="timed runs of each pipeline; the table shows the fastest (default: 5)")
    args = parser.parse_args(argv)
    if args.size < 1 or args.batch_size < 1 or args.runs < 1:
        parser.error("--size, --batch-size and --runs must be positive")

    paths = images_in(args.folder) if args.folder else skimage_photographs()
    source = args.folder if args.folder else paths[0].parent
    print(f"{len(paths)} image files from {source}")

    # One untimed run of each first: it warms the page cache, starts the
    # worker threads and loads Pillow's codecs, costs that only the first
    # pipeline to run would otherwise pay.
    run_batchaugmentor(paths, args.size, args.batch_size, Timings())
    run_pillow(paths, args.size, args.batch_size, Timings())
    ours, pillow = Timings(), Timings()
    for _ in range(args.runs):
        run = Timings()
        result = run_batchaugmentor(paths, args.size, args.batch_size, run)
        ours.keep_fastest(run)
        run = Timings()
        reference = run_pillow(paths, args.size, args.batch_size, run)
        pillow.keep_fastest(run)

    for path in result.skipped:
        print(f"  skipped (unreadable or not an image): {path.name}")
    names = [p.name for p in paths if p not in result.skipped]
    if not names:
        print("Nothing to do: no file could be decoded.")
        return 1

    args.output.mkdir(parents=True, exist_ok=True)
    print(f"\n{'image':<28} {'luminance':>9} {'Pillow':>8} {'max |diff| vs Pillow':>21}")
    for name, pixels, lum, ref_pixels, ref_lum in zip(
        names, result.pixels, result.luminance, reference.pixels, reference.luminance
    ):
        diff = int(np.abs(pixels.astype(np.int16) - ref_pixels.astype(np.int16)).max())
        print(f"{name:<28} {lum:9.2f} {ref_lum:8.2f} {diff:21d}")
    print(
        "luminance: mean BT.601 luminance of the result; Pillow: the same from Pillow's 8-bit grey\n"
        "conversion, which rounds each pixel. max |diff|: the largest difference of any sample\n"
        "between the two resized images: Pillow rounds and clips to 8 bits between its horizontal\n"
        "and vertical pass, batchaugmentor keeps the intermediate in floating point."
    )

    written = []
    for index, (name, pixels) in enumerate(zip(names, result.pixels)):
        if index == SAVED_RESULTS:
            break
        target = args.output / f"{index:02d}_{Path(name).stem}_{args.size}.png"
        Image.fromarray(pixels).save(target)
        written.append(target)
    sheet = contact_sheet(result.pixels, [f"{Path(n).stem[:20]} L={v:.0f}" for n, v in zip(names, result.luminance)], args.size)
    sheet_path = args.output / "contact_sheet.png"
    sheet.save(sheet_path)
    written.append(sheet_path)

    print(
        f"\nProcessed {len(names)} images: centre square crop, Lanczos resize to "
        f"{args.size}x{args.size}, mean BT.601 luminance, in batches of {args.batch_size}, "
        f"{args.runs} timed runs."
    )
    print_table(ours, pillow, len(names))
    print(f"\nWrote {len(written)} files to {args.output}/: " + ", ".join(p.name for p in written))
    return 0


if __name__ == "__main__":
    sys.exit(main())
