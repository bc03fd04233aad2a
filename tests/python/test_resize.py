import os
import platform
import sys

import numpy as np
import pytest
from numpy.lib.stride_tricks import as_strided

import batchaugmentor as ba
from conftest import run_child

sys.path.insert(0, os.path.dirname(__file__))
import lanczos_reference as ref  # noqa: E402

IMAGE_CHANNELS = "Resizing failed: Only RGB images (3 channels) are supported"
TARGET_ZERO = "Resizing failed: Target dimensions must be greater than zero"
IMAGE_TOO_LARGE = "Resizing failed: Image height and width must be below 2^32"
VIDEO_FAILED = "Video resizing failed"


def resize(image, width, height):
    (out,) = ba.batch_resize_images([image], [(width, height)])
    return out


def resize_video(video, width, height):
    (out,) = ba.batch_resize_videos([video], [(width, height)])
    return out


def grey(rows):
    """An RGB image whose three channels all equal `rows`."""
    a = np.asarray(rows, dtype=np.uint8)
    return np.repeat(a[..., None], 3, axis=2)


def random_image(rng, h, w):
    return rng.integers(0, 256, (h, w, 3), dtype=np.uint8)


def _case_sizes(rng, kind):
    if kind == "shrink":
        h, w = rng.integers(2, 41, 2)
        return h, w, rng.integers(1, h + 1), rng.integers(1, w + 1)
    if kind == "grow":
        h, w = rng.integers(1, 25, 2)
        return h, w, rng.integers(h, 49), rng.integers(w, 49)
    # One axis shrinks, the other grows or keeps its length.
    a, b = rng.integers(2, 33, 2)
    if rng.integers(2):
        return a, b, rng.integers(1, a), rng.integers(b, 41)
    return a, b, rng.integers(a, 41), rng.integers(1, b)


class TestAgainstReference:
    @pytest.mark.parametrize("kind", ["shrink", "grow", "mixed"])
    def test_random_sizes_match_the_float32_reference(self, kind):
        rng = np.random.default_rng({"shrink": 11, "grow": 22, "mixed": 33}[kind])
        cases = []
        for _ in range(110):
            h, w, th, tw = (int(v) for v in _case_sizes(rng, kind))
            if (th, tw) == (h, w):
                tw += 1
            cases.append((random_image(rng, h, w), tw, th))
        results = ba.batch_resize_images([c[0] for c in cases], [(c[1], c[2]) for c in cases])
        for (image, tw, th), got in zip(cases, results):
            assert got.shape == (th, tw, 3)
            np.testing.assert_array_equal(got, ref.resize(image, tw, th), err_msg=f"{image.shape} to {(th, tw)}")

    def test_repeated_and_transposed_sizes_in_one_batch(self):
        # Workers reuse the last plan they made for the same sizes: a plan
        # must never serve an item whose source or target differs, however
        # the items interleave (here each shape also comes transposed).
        rng = np.random.default_rng(44)
        # Neighbours share a source, or a target, or are each other's
        # transpose; every shape also follows itself.
        shapes = [((40, 30), (17, 11)), ((40, 30), (11, 17)), ((30, 40), (11, 17)), ((30, 40), (17, 11)),
                  ((40, 30), (30, 40)), ((30, 40), (40, 30))]
        cases = [(random_image(rng, *src), tw, th) for _ in range(4) for src, (tw, th) in shapes for _ in range(2)]
        results = ba.batch_resize_images([c[0] for c in cases], [(c[1], c[2]) for c in cases])
        for (image, tw, th), got in zip(cases, results):
            np.testing.assert_array_equal(got, ref.resize(image, tw, th), err_msg=f"{image.shape} to {(th, tw)}")

    def test_reference_reproduces_the_window_weights(self):
        # Printed to seven decimals, so compared to half a unit of the last one.
        for (n_src, n_dst, o), printed in [
            ((2, 4, 0), [1.1754777, -0.1754777]),
            ((2, 4, 1), [0.7671294, 0.2328707]),
            ((2, 4, 3), [-0.1754777, 1.1754777]),
            ((4, 2, 0), [0.4641924, 0.4641924, 0.1409108, -0.0692956]),
            ((4, 2, 1), [-0.0692956, 0.1409108, 0.4641924, 0.4641924]),
        ]:
            left, weights = ref.window(n_src, n_dst, o)
            assert left == 0
            np.testing.assert_allclose(weights, printed, rtol=0, atol=5e-8)


WORKED_EXAMPLES = [
    ("grow 2 to 4", grey([[0, 255]]), (4, 1), grey([[0, 59, 196, 255]])),
    ("exact half rounds away", grey([[0, 5]]), (3, 1), grey([[0, 3, 6]])),
    ("grow 2 to 3", grey([[0, 255]]), (3, 1), grey([[0, 128, 255]])),
    ("shrink 4 to 2", grey([[0, 85, 170, 255]]), (2, 1), grey([[46, 209]])),
    (
        "column grows",
        np.array([[[0, 10, 250]], [[100, 20, 0]]], dtype=np.uint8),
        (1, 3),
        np.array([[[0, 9, 255]], [[50, 15, 125]], [[112, 21, 0]]], dtype=np.uint8),
    ),
    (
        "both shrink, channels independent",
        np.array(
            [
                [[10, 20, 30], [40, 50, 60], [70, 80, 90]],
                [[100, 110, 120], [130, 140, 150], [160, 170, 180]],
                [[190, 200, 210], [220, 230, 240], [250, 255, 0]],
            ],
            dtype=np.uint8,
        ),
        (2, 2),
        np.array(
            [[[43, 53, 61], [86, 97, 119]], [[174, 184, 206], [217, 225, 122]]], dtype=np.uint8
        ),
    ),
    (
        "vertical pass at ratio 1",
        grey([[0, 128, 255], [255, 128, 0]]),
        (5, 2),
        grey([[0, 29, 128, 226, 255], [255, 226, 128, 29, 0]]),
    ),
]


class TestWorkedExamples:
    @pytest.mark.parametrize(
        "source,target,expected", [c[1:] for c in WORKED_EXAMPLES], ids=[c[0] for c in WORKED_EXAMPLES]
    )
    def test_exact_bytes(self, source, target, expected):
        np.testing.assert_array_equal(resize(source, *target), expected)
        np.testing.assert_array_equal(ref.resize(source, *target), expected)

    def test_half_way_middle_row(self):
        # 127.5 in exact arithmetic: which way each sample rounds hangs on the
        # sine's last bit, and a correctly rounded sine gives 128 in all three.
        source = grey([[0, 0], [255, 255]])
        got = resize(source, 3, 3)
        np.testing.assert_array_equal(got, grey([[0, 0, 0], [128, 128, 128], [255, 255, 255]]))
        np.testing.assert_array_equal(got, ref.resize(source, 3, 3))


class TestInvariants:
    @pytest.mark.parametrize("shape", [(1, 1), (7, 5), (64, 33)])
    def test_same_size_is_a_copy(self, shape):
        image = random_image(np.random.default_rng(5), *shape)
        out = resize(image, shape[1], shape[0])
        np.testing.assert_array_equal(out, image)
        assert not np.shares_memory(out, image)
        assert out.flags.c_contiguous and out.dtype == np.uint8

    def test_same_size_of_a_non_contiguous_view(self):
        base = random_image(np.random.default_rng(6), 20, 30)
        view = base[::-1, ::2]
        np.testing.assert_array_equal(resize(view, 15, 20), view)

    @pytest.mark.parametrize("shape", [(0, 5), (5, 0), (0, 0)])
    def test_empty_source_gives_black(self, shape):
        out = resize(np.zeros(shape + (3,), dtype=np.uint8), 6, 4)
        assert out.shape == (4, 6, 3)
        assert not out.any()

    @pytest.mark.parametrize("target", [(1, 1), (5, 3), (40, 1), (17, 23)])
    def test_single_pixel_fills_the_target(self, target):
        pixel = np.array([[[12, 200, 77]]], dtype=np.uint8)
        out = resize(pixel, *target)
        assert out.shape == (target[1], target[0], 3)
        assert np.all(out == pixel[0, 0])

    @pytest.mark.parametrize("source,target", [((9, 13), (4, 30)), ((50, 3), (61, 2)), ((2, 2), (9, 9))])
    def test_uniform_stays_uniform(self, source, target):
        image = np.empty(source + (3,), dtype=np.uint8)
        image[...] = (3, 130, 254)
        out = resize(image, *target)
        assert np.all(out == (3, 130, 254))

    def test_first_target_element_is_the_width(self):
        assert resize(random_image(np.random.default_rng(1), 10, 10), 64, 48).shape == (48, 64, 3)


def _views():
    rng = np.random.default_rng(8)
    base = random_image(rng, 23, 31)
    four = rng.integers(0, 256, (23, 31, 4), dtype=np.uint8)
    return {
        "flipped horizontally": base[:, ::-1],
        "flipped vertically": base[::-1],
        "flipped both ways": base[::-1, ::-1],
        "channels reversed": base[..., ::-1],
        "transposed": base.transpose(1, 0, 2),
        "stepped": base[::2, ::3],
        "fortran order": np.asfortranarray(base),
        "three of four channels": four[..., :3],
        "broadcast row": np.broadcast_to(base[:1], (23, 31, 3)),
    }


class TestStridedInputs:
    @pytest.mark.parametrize("name", list(_views()))
    def test_view_resizes_like_its_copy(self, name):
        view = _views()[name]
        copy = np.ascontiguousarray(view)
        for target in [(10, 7), (45, 50), (view.shape[1], view.shape[0] + 1)]:
            np.testing.assert_array_equal(resize(view, *target), resize(copy, *target))


def _huge_view(height, width):
    # No memory behind it: every element is the same byte.
    return as_strided(np.zeros(3, dtype=np.uint8), shape=(height, width, 3), strides=(0, 0, 1))


class TestRefusals:
    @pytest.mark.parametrize(
        "channels,target,message",
        [
            (4, (0, 0), IMAGE_CHANNELS),
            (1, (5, 5), IMAGE_CHANNELS),
            (3, (0, 10), TARGET_ZERO),
            (3, (10, 0), TARGET_ZERO),
        ],
    )
    def test_messages(self, channels, target, message):
        image = np.zeros((4, 4, channels), dtype=np.uint8)
        with pytest.raises(ValueError) as info:
            resize(image, *target)
        assert str(info.value) == message

    def test_first_failed_item_in_input_order_is_reported(self):
        good = np.zeros((4, 4, 3), dtype=np.uint8)
        bad_channels = np.zeros((4, 4, 2), dtype=np.uint8)
        with pytest.raises(ValueError) as info:
            ba.batch_resize_images([good, good, bad_channels], [(2, 2), (0, 1), (2, 2)])
        assert str(info.value) == TARGET_ZERO

    def test_unallocatable_result_keeps_input_order_of_failures(self):
        rgb, rgba = np.zeros((4, 4, 3), np.uint8), np.zeros((4, 4, 4), np.uint8)
        huge = (2**32 - 1, 2**32 - 1)
        # A refused item is refused whatever its target; memory only counts
        # for an item whose checks pass.
        with pytest.raises(ValueError, match="^Resizing failed: Only RGB images"):
            ba.batch_resize_images([rgba, rgb], [huge, (2, 2)])
        with pytest.raises(MemoryError):
            ba.batch_resize_images([rgb, rgba], [huge, (2, 2)])
        with pytest.raises(RuntimeError, match="^Video resizing failed$"):
            ba.batch_resize_videos([rgba[None], rgb[None]], [huge, (2, 2)])

    @pytest.mark.parametrize("shape", [(1, 2**32), (2**32, 1), (3, 2**32 + 5)])
    def test_axis_of_two_to_the_32_is_refused_not_truncated(self, shape):
        with pytest.raises(ValueError) as info:
            resize(_huge_view(*shape), 4, 4)
        assert str(info.value) == IMAGE_TOO_LARGE

    @pytest.mark.parametrize("target", [(2**32 - 1, 2**32 - 1), (2**31, 2**31), (2**20, 2**20)])
    def test_result_too_large_raises_memory_error(self, target):
        with pytest.raises(MemoryError):
            resize(np.zeros((2, 2, 3), dtype=np.uint8), *target)


class TestVideos:
    def test_each_frame_matches_the_image_resize(self):
        video = np.random.default_rng(3).integers(0, 256, (5, 20, 30, 3), dtype=np.uint8)
        out = resize_video(video, 8, 6)
        assert out.shape == (5, 6, 8, 3) and out.flags.c_contiguous
        images = ba.batch_resize_images(list(video), [(8, 6)] * 5)
        for i in range(5):
            np.testing.assert_array_equal(out[i], images[i])

    def test_same_size_is_a_copy(self):
        video = np.random.default_rng(4).integers(0, 256, (3, 9, 7, 3), dtype=np.uint8)
        out = resize_video(video, 7, 9)
        np.testing.assert_array_equal(out, video)
        assert not np.shares_memory(out, video)

    def test_negative_frame_stride_follows_the_view(self):
        video = np.random.default_rng(5).integers(0, 256, (4, 11, 13, 3), dtype=np.uint8)
        forward = resize_video(video, 6, 17)
        backward = resize_video(video[::-1], 6, 17)
        np.testing.assert_array_equal(backward, forward[::-1])

    def test_strided_frames(self):
        video = np.random.default_rng(6).integers(0, 256, (3, 12, 20, 4), dtype=np.uint8)
        view = video[:, ::-1, ::2, 2::-1]
        np.testing.assert_array_equal(resize_video(view, 5, 7), resize_video(view.copy(), 5, 7))

    def test_one_frame_is_the_image_result_with_a_leading_axis(self):
        frame = np.random.default_rng(7).integers(0, 256, (15, 10, 3), dtype=np.uint8)
        out = resize_video(frame[None], 21, 4)
        assert out.shape == (1, 4, 21, 3)
        np.testing.assert_array_equal(out[0], resize(frame, 21, 4))

    @pytest.mark.parametrize("frame_shape", [(0, 6), (6, 0)])
    def test_empty_frames_give_black(self, frame_shape):
        out = resize_video(np.zeros((3,) + frame_shape + (3,), dtype=np.uint8), 5, 2)
        assert out.shape == (3, 2, 5, 3)
        assert not out.any()

    @pytest.mark.parametrize("target", [(5, 2), (2**30, 2**30)])
    def test_zero_frames_give_an_empty_video(self, target):
        out = resize_video(np.zeros((0, 8, 8, 3), dtype=np.uint8), *target)
        assert out.shape == (0, target[1], target[0], 3) and out.dtype == np.uint8

    @pytest.mark.parametrize(
        "shape,target",
        [
            ((2, 4, 4, 4), (0, 0)),
            ((2, 4, 4, 1), (3, 3)),
            ((2, 4, 4, 3), (0, 10)),
            ((2, 4, 4, 3), (10, 0)),
        ],
    )
    def test_refusals_raise_the_fixed_message(self, shape, target):
        with pytest.raises(RuntimeError) as info:
            resize_video(np.zeros(shape, dtype=np.uint8), *target)
        assert str(info.value) == VIDEO_FAILED

    def test_frame_axis_of_two_to_the_32_is_refused(self):
        video = as_strided(np.zeros(3, dtype=np.uint8), shape=(2, 1, 2**32, 3), strides=(0, 0, 0, 1))
        with pytest.raises(RuntimeError) as info:
            resize_video(video, 4, 4)
        assert str(info.value) == VIDEO_FAILED

    def test_result_too_large_raises_memory_error(self):
        with pytest.raises(MemoryError):
            resize_video(np.zeros((3, 2, 2, 3), dtype=np.uint8), 2**31, 2**31)


_PATH_SCRIPT = """
import sys, numpy as np, batchaugmentor as ba
rng = np.random.default_rng(2024)
images, targets = [], []
for _ in range(60):
    h, w, th, tw = (int(v) for v in rng.integers(1, 70, 4))
    images.append(rng.integers(0, 256, (h, w, 3), dtype=np.uint8))
    targets.append((tw, th))
for shape, target in [((300, 400), (97, 61)), ((45, 640), (640, 45)), ((2000, 3), (7, 1)),
                      ((50, 90), (64, 37)), ((30, 40), (160, 123))]:
    images.append(rng.integers(0, 256, shape + (3,), dtype=np.uint8))
    targets.append(target)
out = ba.batch_resize_images(images, targets)
sys.stdout.buffer.write(b"".join(o.tobytes() for o in out))
"""


_X86_PATHS = {"avx2"}

_REPORT_SCRIPT = """
import ctypes, batchaugmentor as ba
report = ctypes.CDLL(ba.__file__).batchaugmentor_resample_path
report.restype = ctypes.c_char_p
print(report().decode())
"""


def _cpu_has(flag):
    try:
        with open("/proc/cpuinfo") as f:
            return any(line.startswith("flags") and flag in line.split() for line in f)
    except OSError:
        return False


class TestInstructionSetPaths:
    def _run(self, kernel, script=_PATH_SCRIPT):
        """The script's output in a fresh process, with the path named or not."""
        done = run_child(script, env={"BATCHAUGMENTOR_KERNEL": kernel}, text=False, check=True)
        return done.stdout

    @pytest.mark.parametrize(
        "kernel, expected",
        [(None, "widest"), ("no-such-path", "widest"), ("scalar", "scalar"), ("avx2", "avx2")],
    )
    def test_the_path_that_runs_is_the_one_chosen(self, kernel, expected):
        # The release build once ran the portable path everywhere, its
        # compiler runtime reporting no AVX2; only the report below shows it.
        if expected == "widest":
            expected = "avx2" if platform.machine() in ("x86_64", "AMD64") and _cpu_has("avx2") else "scalar"
        elif expected in _X86_PATHS and not _cpu_has(expected):
            pytest.skip(f"this processor lacks {expected}")
        assert self._run(kernel, _REPORT_SCRIPT).decode().strip() == expected

    @pytest.mark.parametrize("kernel", ["avx2", None, "no-such-path"])
    def test_every_path_gives_the_scalar_bytes(self, kernel):
        if kernel in _X86_PATHS and not _cpu_has(kernel):
            pytest.skip(f"this processor lacks {kernel}")
        scalar = self._run("scalar")
        assert len(scalar) > 0
        assert self._run(kernel) == scalar


_SPLIT_SCRIPT = """
import sys, numpy as np, batchaugmentor as ba
rng = np.random.default_rng(77)
img = rng.integers(0, 256, (1500, 2000, 3), dtype=np.uint8)
video = np.stack([img, img[::-1]])
out = ba.batch_resize_images([img, img[::-1, ::2]], [(400, 900), (333, 517)])
vid = ba.batch_resize_videos([video], [(400, 900)])
sys.stdout.buffer.write(b"".join(o.tobytes() for o in out + vid))
"""


def test_a_large_image_split_across_workers_gives_the_one_thread_bytes():
    # Large enough that with more than one worker its rows are cut into
    # pieces made on different threads; with one worker it is made whole.
    def run(threads):
        done = run_child(_SPLIT_SCRIPT, env={"RAYON_NUM_THREADS": threads}, text=False, check=True)
        return done.stdout

    whole = run(1)
    assert len(whole) == (400 * 900 + 333 * 517 + 2 * 400 * 900) * 3
    assert run(4) == whole


def _vm_flags_at(address):
    """VmFlags of the mapping holding `address`, from /proc/self/smaps."""
    flags, inside = None, False
    with open("/proc/self/smaps") as f:
        for line in f:
            head = line.split()[0]
            if "-" in head and not head.endswith(":"):
                lo, hi = (int(x, 16) for x in head.split("-"))
                inside = lo <= address < hi
            elif inside and head == "VmFlags:":
                flags = line.split()[1:]
    return flags


@pytest.mark.skipif(not os.path.exists("/proc/self/smaps"), reason="needs Linux /proc")
@pytest.mark.parametrize("kind", ["images", "videos"])
def test_large_results_take_back_their_large_page_request(kind):
    # Results of 2 MB or more ask for large pages while they are filled; the
    # request must not outlive the call, or memory the allocator later hands
    # to others would be gathered into large pages behind their backs.
    rng = np.random.default_rng(5)
    img = rng.integers(0, 256, (240, 320, 3), dtype=np.uint8)
    if kind == "images":
        out = ba.batch_resize_images([img, img[::-1]], [(1280, 960), (1280, 960)])
    else:
        out = ba.batch_resize_videos([np.stack([img] * 3)], [(1280, 960)])
    first = resize(img, 1280, 960)
    assert np.array_equal(out[0][0] if kind == "videos" else out[0], first)
    for o in out:
        start = o.ctypes.data
        page = 2 << 20
        inner = (start + page - 1) // page * page
        if inner + page > start + o.nbytes:
            continue  # no whole large page inside: nothing was asked
        flags = _vm_flags_at(inner)
        assert flags is not None
        assert "hg" not in flags, flags
