"""The worker pool as Python sees it: its size, a build that fails,
ordering, and fork()."""

import multiprocessing
import os
import time
import warnings

import numpy as np
import pytest

import batchaugmentor
from conftest import SANITIZED, last_json, run_child

CPUS = os.cpu_count()

# A child with these applied sees only the pool variables a test sets.
NO_POOL_VARIABLES = {"RAYON_NUM_THREADS": None, "RAYON_RS_NUM_CPUS": None}


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
        first, later = last_json(run_child(POOL_SIZE_PROBE, env={**NO_POOL_VARIABLES, **env},
                                           timeout=60, check=True).stdout)
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
        # 64 KiB is too small for AddressSanitizer's enlarged frames: under
        # it the smallest tried is 256 KiB.
        smallest = "262144" if SANITIZED else "65536"
        for value in (smallest, "16777216", "0", "junk"):
            out = last_json(run_child(code, env={**NO_POOL_VARIABLES, "RAYON_NUM_THREADS": "3",
                                                 "BATCHAUGMENTOR_STACK_SIZE": value},
                                      timeout=60, check=True).stdout)
            assert out == pytest.approx([float(v) for v in range(50)], abs=1e-9)


class TestPoolBuildFailure:
    """A pool that cannot be built is an ordinary error, and the next call
    tries again. Each case runs in a child: its limits and variables are
    read once per process."""

    @pytest.mark.parametrize("env, names", [
        ({"RAYON_NUM_THREADS": "2", "BATCHAUGMENTOR_STACK_SIZE": "1099511627776"},
         ["thread 1 of 2", "RAYON_NUM_THREADS=2", "BATCHAUGMENTOR_STACK_SIZE=1099511627776", "Os { code: "]),
        ({"RAYON_RS_NUM_CPUS": "3", "BATCHAUGMENTOR_STACK_SIZE": "1099511627776"},
         ["of 3", "RAYON_RS_NUM_CPUS=3"]),
    ])
    def test_pool_that_cannot_be_built_raises_and_is_retried(self, env, names):
        env = dict(env)
        if "RAYON_NUM_THREADS" not in env:
            env["RAYON_NUM_THREADS"] = "junk"  # unreadable: defers to the second variable
        out = last_json(run_child("""
            import json
            import numpy as np
            import batchaugmentor as ba
            messages = []
            for _ in range(2):   # the second call tries again, and fails the same way
                try:
                    ba.batch_calculate_luminance([np.zeros((1, 1, 3), np.uint8)] * 4)
                    messages.append(None)
                except RuntimeError as e:
                    messages.append(str(e))
            print(json.dumps(messages))
        """, env=env, check=True).stdout)
        for message in out:
            assert message is not None and message.startswith("The worker pool could not be built: ")
            for name in names:
                assert name in message

    @pytest.mark.skipif(SANITIZED, reason="sanitizers reserve more address space than the limit")
    def test_pool_build_failing_under_a_limit_succeeds_once_the_limit_is_lifted(self):
        out = last_json(run_child("""
            import json, os, resource
            import numpy as np
            import batchaugmentor as ba
            before = len(os.listdir("/proc/self/task"))
            soft, hard = resource.getrlimit(resource.RLIMIT_AS)
            with open("/proc/self/statm") as f:
                used = int(f.read().split()[0]) * os.sysconf("SC_PAGE_SIZE")
            # Room for a few dozen 2 MiB worker stacks, not for 1000.
            resource.setrlimit(resource.RLIMIT_AS, (used + (96 << 20), hard))
            try:
                ba.batch_calculate_luminance([np.zeros((1, 1, 3), np.uint8)] * 4)
                first = None
            except RuntimeError as e:
                first = str(e)
            resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
            out = ba.batch_calculate_luminance([np.full((1, 1, 3), 100, np.uint8)] * 4)
            import time
            for _ in range(200):   # stopped threads of the failed build exit
                threads = len(os.listdir("/proc/self/task")) - before
                if threads == 1000: break
                time.sleep(0.05)
            print(json.dumps([first, out, threads]))
        """, env={"RAYON_NUM_THREADS": "1000"}, check=True).stdout)
        first, out, threads = out
        assert first is not None and "of 1000" in first and "RAYON_NUM_THREADS=1000" in first
        assert out == [100.0] * 4
        assert threads == 1000


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
