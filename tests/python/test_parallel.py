"""The worker pool as Python sees it: its size, ordering, and fork()."""

import json
import multiprocessing
import os
import subprocess
import sys
import textwrap
import time
import warnings

import numpy as np
import pytest

import batchaugmentor

CPUS = os.cpu_count()


def run_isolated(code, env_overrides, timeout=60):
    """Runs `code` in a fresh interpreter with the pool variables replaced."""
    env = {k: v for k, v in os.environ.items()
           if k not in ("RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS")}
    env.update(env_overrides)
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=env,
                          capture_output=True, text=True, timeout=timeout)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout.strip().splitlines()[-1])


# Counts the threads the first batch call starts: NumPy's BLAS may have
# started threads of its own at import, so only the difference counts.
POOL_SIZE_PROBE = """
    import json, os
    import numpy as np
    import batchaugmentor
    before = len(os.listdir("/proc/self/task"))
    batchaugmentor.batch_calculate_luminance([])   # an empty batch builds the pool too
    first = len(os.listdir("/proc/self/task")) - before
    os.environ["RAYON_NUM_THREADS"] = "7"         # read once: no effect now
    batchaugmentor.batch_calculate_luminance([np.zeros((2, 2, 3), np.uint8)] * 5)
    later = len(os.listdir("/proc/self/task")) - before
    print(json.dumps([first, later]))
"""


class TestPoolSize:
    @pytest.mark.parametrize("env, expected", [
        ({"RAYON_NUM_THREADS": "4"}, 4),
        ({"RAYON_NUM_THREADS": "1"}, 1),
        ({"RAYON_NUM_THREADS": "+2"}, 2),
        ({"RAYON_NUM_THREADS": "007"}, 7),
        ({"RAYON_NUM_THREADS": "0"}, CPUS),
        ({"RAYON_NUM_THREADS": "abc"}, CPUS),
        ({"RAYON_NUM_THREADS": "-2"}, CPUS),
        ({"RAYON_NUM_THREADS": " 3"}, CPUS),
        ({"RAYON_NUM_THREADS": "abc", "RAYON_RS_NUM_CPUS": "3"}, 3),
        # 0 is a number: it means the default and does not defer.
        ({"RAYON_NUM_THREADS": "0", "RAYON_RS_NUM_CPUS": "5"}, CPUS),
        ({"RAYON_NUM_THREADS": "6", "RAYON_RS_NUM_CPUS": "5"}, 6),
        ({"RAYON_RS_NUM_CPUS": "+3"}, 3),
        ({"RAYON_RS_NUM_CPUS": "0"}, CPUS),
        ({}, CPUS),
    ])
    def test_threads_started_by_the_first_call(self, env, expected):
        first, later = run_isolated(POOL_SIZE_PROBE, env)
        assert first == expected
        assert later == expected

    def test_stack_size_override_still_runs_items(self):
        code = """
            import json
            import numpy as np
            import batchaugmentor
            images = [np.full((64, 64, 3), v, np.uint8) for v in range(50)]
            print(json.dumps(batchaugmentor.batch_calculate_luminance(images)))
        """
        for value in ("65536", "16777216", "0", "junk"):
            out = run_isolated(code, {"RAYON_NUM_THREADS": "3",
                                      "BATCHAUGMENTOR_STACK_SIZE": value})
            assert out == pytest.approx([float(v) for v in range(50)], abs=1e-9)


def distinct_images(count, seed=7):
    """Images whose exact mean (fewer than three channels) tells them apart."""
    rng = np.random.default_rng(seed)
    return [rng.integers(0, 256, size=(3, 5, 1), dtype=np.uint8) for _ in range(count)]


class TestOrdering:
    @pytest.mark.parametrize("count", [0, 1, 2, 3, 64, 5000])
    def test_luminance_outcomes_in_input_order(self, count):
        images = distinct_images(count)
        expected = [float(a.astype(np.int64).sum()) / a.size for a in images]
        assert batchaugmentor.batch_calculate_luminance(images) == expected

    @pytest.mark.parametrize("count", [2, 7, 3000])
    def test_crops_come_back_in_input_order(self, count):
        images = [np.full((4, 4, 2), i % 251, np.uint8) + np.arange(2, dtype=np.uint8)
                  for i in range(count)]
        boxes = [(i % 3, i % 2, 2, 2) for i in range(count)]
        out = batchaugmentor.batch_crop_images(images, boxes)
        assert len(out) == count
        for i, (a, (x, y, w, h)) in enumerate(zip(images, boxes)):
            np.testing.assert_array_equal(out[i], a[y:y + h, x:x + w], err_msg=f"item {i}")

    def test_nested_maps_frames_of_many_videos(self):
        # Each video's frames run as a map of their own inside the batch map.
        rng = np.random.default_rng(11)
        videos = [rng.integers(0, 256, (f, 12, 16, 3), dtype=np.uint8) for f in (1, 9, 4, 17, 2, 6)]
        sizes = [(5 + i, 7 + i) for i in range(len(videos))]
        out = batchaugmentor.batch_resize_videos(videos, sizes)
        for video, size, result in zip(videos, sizes, out):
            frames = batchaugmentor.batch_resize_images(list(video), [size] * len(video))
            np.testing.assert_array_equal(result, np.stack(frames))

    def test_lowest_failing_index_is_reported(self):
        # Items 5 and 2 both fail; with many items in flight item 5 may well
        # fail first in time, but the report names the earlier one.
        images = [np.zeros((8, 8, 1), np.uint8) for _ in range(200)]
        boxes = [(0, 0, 4, 4)] * 200
        boxes[5] = (0, 0, 9, 4)
        boxes[2] = (0, 0, 4, 9)
        with pytest.raises(ValueError) as failure:
            batchaugmentor.batch_crop_images(images, boxes)
        reference = None
        try:
            batchaugmentor.batch_crop_images([images[2]], [boxes[2]])
        except ValueError as e:
            reference = str(e)
        assert str(failure.value) == reference


FORK_CHILD_CHECK = 17  # exit status of a child whose results were wrong


def luminance_batch_is_right(count=300):
    images = distinct_images(count, seed=count)
    expected = [float(a.astype(np.int64).sum()) / a.size for a in images]
    return batchaugmentor.batch_calculate_luminance(images) == expected


def child_work(n):
    images = distinct_images(50, seed=n)
    return batchaugmentor.batch_calculate_luminance(images)


class TestFork:
    def wait(self, pid, seconds=60):
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            done, status = os.waitpid(pid, os.WNOHANG)
            if done:
                return os.waitstatus_to_exitcode(status)
            time.sleep(0.01)
        os.kill(pid, 9)
        os.waitpid(pid, 0)
        pytest.fail("the forked child hung: its batch never finished")

    def test_child_builds_its_own_pool(self):
        assert luminance_batch_is_right()  # the parent's pool exists now
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)  # fork of a threaded process
            pid = os.fork()
        if pid == 0:
            try:
                before = len(os.listdir("/proc/self/task"))
                ok = luminance_batch_is_right() and luminance_batch_is_right(5000)
                started = len(os.listdir("/proc/self/task")) - before
                ok = ok and started >= 1
            except BaseException:
                ok = False
            os._exit(0 if ok else FORK_CHILD_CHECK)
        assert self.wait(pid) == 0
        assert luminance_batch_is_right()  # the parent is unaffected

    def test_multiprocessing_fork_context(self):
        assert luminance_batch_is_right()
        expected = [child_work(n) for n in range(8)]
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)
            with multiprocessing.get_context("fork").Pool(2) as workers:
                result = workers.map_async(child_work, range(8))
                assert result.get(timeout=60) == expected
        assert luminance_batch_is_right()
