"""examples/dask_preprocess.py on a handful of generated images, with a
LocalCluster of its own and joining a running cluster (runs when Dask's
distributed scheduler and Pillow are installed: BA_EXTRAS=dask ./dev test)."""

import io
import os
from pathlib import Path

import numpy as np
import pytest

if "dask" in os.environ.get("BA_EXTRAS", "").split(","):
    # The extra was asked for: a failed import is a broken set-up, not a skip.
    import distributed
    from PIL import Image
else:
    distributed = pytest.importorskip("distributed", reason="needs the dask extra: BA_EXTRAS=dask ./dev test")
    Image = pytest.importorskip("PIL.Image")

import batchaugmentor as ba  # noqa: E402
from conftest import run_child  # noqa: E402

SCRIPT = Path(__file__).parents[2] / "examples" / "dask_preprocess.py"
SIZE = 24


@pytest.fixture(scope="module")
def images(tmp_path_factory):
    """Seven decodable images of assorted shapes and modes in two folders,
    and one file that is not an image."""
    root = tmp_path_factory.mktemp("images")
    rng = np.random.default_rng(7)
    for folder in ("a", "b/nested"):
        (root / folder).mkdir(parents=True)
    shapes = [(40, 60), (61, 33), (24, 24), (9, 70), (50, 51), (30, 45), (70, 29)]
    for i, (h, w) in enumerate(shapes):
        pixels = rng.integers(0, 256, (h, w, 3), dtype=np.uint8)
        image = Image.fromarray(pixels)
        if i == 2:
            image = image.convert("L")  # decoded to RGB by the example
        folder = "a" if i < 4 else "b/nested"
        image.save(root / folder / f"{i}.png")
    (root / "a" / "broken.jpg").write_bytes(b"not an image at all")
    return root


def expected(path):
    """The same pipeline, computed here without Dask."""
    with Image.open(io.BytesIO(Path(path).read_bytes())) as image:
        array = np.asarray(image.convert("RGB"))
    side = min(array.shape[:2])
    [square] = ba.batch_center_crop_images([array], [(side, side)])
    [resized] = ba.batch_resize_images([square], [(SIZE, SIZE)])
    return resized


def run_example(images, output, *extra):
    result = run_child(SCRIPT, images / "a", images / "b", "--output", output,
                       "--size", SIZE, "--shard-size", 3, *extra, timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr
    return result.stdout


def check_output(images, output):
    rows = [line.split("\t") for line in (output / "manifest.tsv").read_text().splitlines()[1:]]
    skipped = [path for shard, _, path in rows if shard == "skipped"]
    stored = [(shard, int(index), path) for shard, index, path in rows if shard != "skipped"]
    assert skipped == [str(images / "a" / "broken.jpg")]
    assert sorted(Path(p).name for _, _, p in stored) == [f"{i}.png" for i in range(7)]

    shards = {}
    for shard, index, path in stored:
        if shard not in shards:
            shards[shard] = np.load(output / shard)
        stack = shards[shard]
        assert stack.dtype == np.uint8 and stack.shape[1:] == (SIZE, SIZE, 3)
        np.testing.assert_array_equal(stack[index], expected(path), err_msg=path)
    # 8 files in shards of 3; each shard file holds exactly its manifest rows.
    assert sorted(shards) == ["shard-00000.npy", "shard-00001.npy", "shard-00002.npy"]
    for shard, stack in shards.items():
        assert len(stack) == sum(1 for s, _, _ in stored if s == shard)
    assert not list(output.glob("*.partial.npy"))


def test_local_cluster_writes_every_decodable_image_to_the_shards(images, tmp_path):
    stdout = run_example(images, tmp_path, "--workers", "2")
    assert "Wrote 7 images of 24x24 in 3 shard(s)" in stdout
    check_output(images, tmp_path)


def test_joins_a_running_cluster_and_sizes_each_workers_pool(images, tmp_path):
    cores = len(os.sched_getaffinity(0))
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, distributed.Client(cluster) as client:
        run_example(images, tmp_path, "--scheduler", cluster.scheduler_address)
        pool_sizes = client.run(lambda: os.environ.get("RAYON_NUM_THREADS"))
    check_output(images, tmp_path)
    # Two worker processes on one host share its cores.
    assert list(pool_sizes.values()) == [str(max(1, cores // 2))] * 2
