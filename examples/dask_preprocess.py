"""Preprocess folders of images on a Dask cluster into .npy shards.

    python examples/dask_preprocess.py photos/ --output shards/
    python examples/dask_preprocess.py a/ b/ --output shards/ --size 160 --shard-size 256
    python examples/dask_preprocess.py photos/ --output /shared/shards --scheduler tcp://10.0.0.5:8786

The image paths are split into shards of --shard-size files. Each shard is one
Dask task: a worker reads the files with load_image_batch, decodes them with
Pillow, cuts the largest centred square with batch_center_crop_images,
resizes it to SIZE x SIZE with batch_resize_images and writes the stack as
OUTPUT/shard-NNNNN.npy, an array of shape (n, SIZE, SIZE, 3), uint8. The
files that went into the shards, in order, are listed in
OUTPUT/manifest.tsv; unreadable or undecodable files are listed as skipped.

Without --scheduler the script starts a LocalCluster of worker processes on
this machine. With --scheduler it joins a running cluster: every worker must
see the input paths and the output folder at the same paths (a shared file
system) and have batchaugmentor, NumPy and Pillow installed.

Each worker runs one task at a time (a batch call keeps the interpreter lock
for its whole run, so more Dask threads would only queue behind it) and
sizes batchaugmentor's own thread pool so that, on every machine, worker
processes x pool threads = cores.
"""

from __future__ import annotations

import argparse
import contextlib
import io
import os
import sys
from collections import defaultdict
from pathlib import Path

IMAGE_SUFFIXES = {".png", ".jpg", ".jpeg", ".bmp", ".gif", ".tif", ".tiff", ".webp", ".ppm"}

try:
    import numpy as np
    from dask.distributed import Client, LocalCluster, WorkerPlugin, as_completed
    from PIL import Image
except ImportError as missing:  # pragma: no cover - the message is the point
    sys.exit(f"This example needs Dask's distributed scheduler, NumPy and Pillow: "
             f"pip install 'dask[distributed]' numpy pillow tqdm ({missing})")


def image_paths(inputs: list[Path]) -> list[Path]:
    found = []
    for item in inputs:
        if item.is_dir():
            found += sorted(p for p in item.rglob("*") if p.suffix.lower() in IMAGE_SUFFIXES and p.is_file())
        elif item.is_file():
            found.append(item)
        else:
            sys.exit(f"Not a file or folder: {item}")
    return found


def usable_cores() -> int:
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:  # not Linux
        return os.cpu_count() or 1


class PoolSize(WorkerPlugin):
    """Sets RAYON_NUM_THREADS in each worker before its first batch call.

    The pool is built on a process's first batch call and keeps its size, so
    this must run before any task does; a plugin also reaches workers that
    join later. Workers of one host share its cores.
    """

    name = "batchaugmentor-pool-size"

    def __init__(self, threads_per_host: dict[str, int], default: int):
        self.threads_per_host = threads_per_host
        self.default = default

    def setup(self, worker):
        host = worker.address.rsplit(":", 1)[0]
        os.environ["RAYON_NUM_THREADS"] = str(self.threads_per_host.get(host, self.default))


def pool_threads_per_host(client: Client) -> dict[str, int]:
    """Cores of each host divided among the worker processes on it."""
    cores = client.run(usable_cores)
    workers_on = defaultdict(list)
    for address in cores:
        workers_on[address.rsplit(":", 1)[0]].append(address)
    return {host: max(1, cores[ws[0]] // len(ws)) for host, ws in workers_on.items()}


def process_shard(index: int, paths: list[str], size: int, output: str) -> tuple[int, list[str], list[str]]:
    """Load, decode, centre-crop, resize and save one shard.

    Returns (index, the paths stored in order, the paths skipped).
    """
    import batchaugmentor as ba  # imported on the worker

    arrays, kept, skipped = [], [], []
    for path, data in zip(paths, ba.load_image_batch(paths)):
        try:
            if data is None:
                raise OSError("unreadable")
            with Image.open(io.BytesIO(data)) as image:
                arrays.append(np.asarray(image.convert("RGB")))
            kept.append(path)
        except (OSError, ValueError, Image.DecompressionBombError):
            skipped.append(path)
    if arrays:
        sides = [min(a.shape[:2]) for a in arrays]
        squares = ba.batch_center_crop_images(arrays, [(s, s) for s in sides])
        resized = ba.batch_resize_images(squares, [(size, size)] * len(squares))
        target = Path(output) / f"shard-{index:05d}.npy"
        partial = target.with_suffix(".partial.npy")
        np.save(partial, np.stack(resized))
        # Readers never see a half-written shard.
        os.replace(partial, target)
    return index, kept, skipped


def progress(futures, total: int):
    try:
        from tqdm import tqdm
    except ImportError:
        return as_completed(futures)
    return tqdm(as_completed(futures), total=total, unit="shard", file=sys.stderr)


def run(client: Client, paths: list[Path], output: Path, size: int, shard_size: int) -> tuple[int, int, int]:
    threads = pool_threads_per_host(client)
    client.register_plugin(PoolSize(threads, default=min(threads.values(), default=1)))
    for host, n in sorted(threads.items()):
        print(f"  {host}: batchaugmentor pool of {n} thread(s) per worker")

    shards = [[str(p) for p in paths[i : i + shard_size]] for i in range(0, len(paths), shard_size)]
    futures = [
        client.submit(process_shard, i, shard, size, str(output), pure=False)
        for i, shard in enumerate(shards)
    ]
    results = {}
    for future in progress(futures, len(futures)):
        index, kept, skipped = future.result()
        results[index] = (kept, skipped)

    stored = skipped_total = 0
    with open(output / "manifest.tsv", "w", encoding="utf-8") as manifest:
        manifest.write("shard\tindex\tpath\n")
        for index in sorted(results):
            kept, skipped = results[index]
            for position, path in enumerate(kept):
                manifest.write(f"shard-{index:05d}.npy\t{position}\t{path}\n")
            for path in skipped:
                manifest.write(f"skipped\t\t{path}\n")
            stored += len(kept)
            skipped_total += len(skipped)
    return len(shards), stored, skipped_total


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("inputs", nargs="+", type=Path, help="image files or folders (searched recursively)")
    parser.add_argument("--output", type=Path, required=True, help="folder for the shards and manifest.tsv")
    parser.add_argument("--size", type=int, default=224, help="side of the square results (default: 224)")
    parser.add_argument("--shard-size", type=int, default=256, help="images per shard and task (default: 256)")
    parser.add_argument("--scheduler", help="address of a running Dask scheduler (default: a LocalCluster)")
    parser.add_argument("--workers", type=int, help="LocalCluster worker processes (default: cores / 2)")
    args = parser.parse_args(argv)
    if args.size < 1 or args.shard_size < 1 or (args.workers is not None and args.workers < 1):
        parser.error("--size, --shard-size and --workers must be positive")

    paths = image_paths(args.inputs)
    if not paths:
        sys.exit("No image files found")
    args.output.mkdir(parents=True, exist_ok=True)

    with contextlib.ExitStack() as stack:
        if args.scheduler:
            client = stack.enter_context(Client(args.scheduler))
        else:
            workers = args.workers or max(1, usable_cores() // 2)
            cluster = stack.enter_context(
                LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=None)
            )
            client = stack.enter_context(Client(cluster))
        print(f"{len(paths)} images, {len(client.scheduler_info()['workers'])} Dask workers")
        shards, stored, skipped = run(client, paths, args.output, args.size, args.shard_size)
    print(f"Wrote {stored} images of {args.size}x{args.size} in {shards} shard(s) to {args.output}/"
          f"; skipped {skipped} unreadable file(s); see manifest.tsv")
    return 0


if __name__ == "__main__":
    sys.exit(main())
