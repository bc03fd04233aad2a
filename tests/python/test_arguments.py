import collections

import numpy as np
import pytest

import batchaugmentor as ba
from conftest import last_json, rgb, run_child

IMG = rgb(4, 5)

FUNCTIONS = [ba.load_image_batch, ba.batch_crop_images, ba.batch_center_crop_images,
             ba.batch_random_crop_images, ba.batch_resize_images,
             ba.batch_calculate_luminance, ba.batch_resize_videos]


class TestBinding:
    @pytest.mark.parametrize(
        "call, message",
        [
            (lambda: ba.batch_crop_images([IMG]), "batch_crop_images() missing 1 required positional argument: 'crop_boxes'"),
            (lambda: ba.batch_crop_images(), "batch_crop_images() missing 2 required positional arguments: 'images' and 'crop_boxes'"),
            (lambda: ba.load_image_batch([], []), "load_image_batch() takes 1 positional arguments but 2 were given"),
            (lambda: ba.batch_crop_images([], [], []), "batch_crop_images() takes 2 positional arguments but 3 were given"),
            (lambda: ba.batch_crop_images(images=[], boxes=[]), "batch_crop_images() got an unexpected keyword argument 'boxes'"),
            (lambda: ba.batch_crop_images([], [], images=[]), "batch_crop_images() got multiple values for argument 'images'"),
            (lambda: ba.batch_crop_images([], crop_boxes=[], images=[]), "batch_crop_images() got multiple values for argument 'images'"),
            (lambda: ba.batch_calculate_luminance(**{"images": [], "x": 1}), "batch_calculate_luminance() got an unexpected keyword argument 'x'"),
            (lambda: ba.batch_resize_videos(), "batch_resize_videos() missing 2 required positional arguments: 'videos' and 'target_sizes'"),
        ],
    )
    def test_messages(self, call, message):
        with pytest.raises(TypeError) as info:
            call()
        assert str(info.value) == message

    def test_keywords_bind_like_positionals(self):
        out = ba.batch_crop_images(crop_boxes=[(0, 0, 1, 1)], images=[IMG])
        assert out[0].tolist() == IMG[:1, :1].tolist()

    @pytest.mark.parametrize("function", FUNCTIONS, ids=lambda f: f.__name__)
    @pytest.mark.parametrize("key", ["imag\udcffes", "\ud800", "caf\u00e9"])
    def test_unknown_keyword_message_quotes_the_key_even_without_utf8(self, function, key):
        with pytest.raises(TypeError) as caught:
            function(**{key: []})
        assert str(caught.value) == f"{function.__name__}() got an unexpected keyword argument '{key}'"


class TestSequences:
    @pytest.mark.parametrize(
        "call, exc, message",
        [
            (lambda: ba.load_image_batch("a.png"), TypeError, "argument 'image_paths': Can't extract `str` to `Vec`"),
            (lambda: ba.load_image_batch([b"a.png"]), TypeError, "argument 'image_paths': 'bytes' object cannot be converted to 'PyString'"),
            (lambda: ba.batch_calculate_luminance(IMG for _ in range(2)), TypeError, "argument 'images': 'generator' object cannot be converted to 'Sequence'"),
            (lambda: ba.batch_calculate_luminance({1}), TypeError, "argument 'images': 'set' object cannot be converted to 'Sequence'"),
            (lambda: ba.batch_calculate_luminance(5), TypeError, "argument 'images': 'int' object cannot be converted to 'Sequence'"),
            (lambda: ba.batch_calculate_luminance([IMG.astype(np.float64)]), TypeError, "argument 'images': 'ndarray' object cannot be converted to 'PyArray<T, D>'"),
            (lambda: ba.batch_calculate_luminance([IMG[:, :, 0]]), TypeError, "argument 'images': 'ndarray' object cannot be converted to 'PyArray<T, D>'"),
            (lambda: ba.batch_calculate_luminance([IMG[None]]), TypeError, "argument 'images': 'ndarray' object cannot be converted to 'PyArray<T, D>'"),
            (lambda: ba.batch_calculate_luminance([IMG.astype(np.int8)]), TypeError, "argument 'images': 'ndarray' object cannot be converted to 'PyArray<T, D>'"),
            (lambda: ba.batch_calculate_luminance([IMG.astype(bool)]), TypeError, "argument 'images': 'ndarray' object cannot be converted to 'PyArray<T, D>'"),
            (lambda: ba.batch_calculate_luminance([[1, 2]]), TypeError, "argument 'images': 'list' object cannot be converted to 'PyArray<T, D>'"),
            (lambda: ba.batch_resize_videos([IMG], [(1, 1)]), TypeError, "argument 'videos': 'ndarray' object cannot be converted to 'PyArray<T, D>'"),
            (lambda: ba.batch_crop_images([IMG], [(1, 2, 3)]), ValueError, "expected tuple of length 4, but got tuple of length 3"),
            (lambda: ba.batch_center_crop_images([IMG], [(1, 2, 3)]), ValueError, "expected tuple of length 2, but got tuple of length 3"),
            (lambda: ba.batch_crop_images([IMG], [[1, 2, 3, 4]]), TypeError, "argument 'crop_boxes': 'list' object cannot be converted to 'PyTuple'"),
            (lambda: ba.batch_crop_images([IMG], np.zeros((1, 4), np.int64)), TypeError, "argument 'crop_boxes': 'ndarray' object cannot be converted to 'PyTuple'"),
            (lambda: ba.batch_resize_images([IMG], [(2**32, 10)]), OverflowError, "out of range integral type conversion attempted"),
            (lambda: ba.batch_resize_videos([IMG[None]], [(10, 2**32)]), OverflowError, "out of range integral type conversion attempted"),
            (lambda: ba.batch_crop_images([IMG], [(1.5, 0, 1, 1)]), TypeError, "argument 'crop_boxes': 'float' object cannot be interpreted as an integer"),
            (lambda: ba.batch_center_crop_images([IMG], [(None, 1)]), TypeError, "argument 'target_sizes': 'NoneType' object cannot be interpreted as an integer"),
            (lambda: ba.batch_center_crop_images([IMG], [("1", 1)]), TypeError, "argument 'target_sizes': 'str' object cannot be interpreted as an integer"),
        ],
    )
    def test_messages(self, call, exc, message):
        with pytest.raises(exc) as info:
            call()
        assert type(info.value) is exc
        assert str(info.value) == message

    @pytest.mark.parametrize("value", [-1, 2**64])
    def test_out_of_range_integers_keep_the_interpreter_error(self, value):
        with pytest.raises(OverflowError) as info:
            ba.batch_crop_images([IMG], [(value, 0, 1, 1)])
        assert not str(info.value).startswith("argument")

    def test_unencodable_path_error_passes_unchanged(self):
        with pytest.raises(UnicodeEncodeError):
            ba.load_image_batch(["bad\udc80name"])

    def test_rewrapped_type_error_keeps_original_cause(self):
        class Weird:
            def __index__(self):
                try:
                    raise KeyError("inner")
                except KeyError as inner:
                    raise TypeError("outer") from inner

        with pytest.raises(TypeError) as info:
            ba.batch_crop_images([IMG], [(Weird(), 0, 1, 1)])
        assert str(info.value) == "argument 'crop_boxes': outer"
        assert isinstance(info.value.__cause__, KeyError)

    def test_wrapped_type_error_keeps_a_message_without_utf8(self):
        class BadIndex:
            def __index__(self):
                raise TypeError("no \udcff index")

        with pytest.raises(TypeError) as caught:
            ba.batch_crop_images([], [(0, 0, 1, BadIndex())])
        assert str(caught.value) == "argument 'crop_boxes': no \udcff index"

    def test_type_error_subclass_is_not_rewrapped(self):
        class MyTypeError(TypeError):
            pass

        class Bad:
            def __index__(self):
                raise MyTypeError("mine")

        with pytest.raises(MyTypeError, match="^mine$"):
            ba.batch_crop_images([IMG], [(Bad(), 0, 1, 1)])

    def test_generic_iterable_failure_is_wrapped(self):
        class Broken(collections.abc.Sequence):
            def __len__(self):
                raise RuntimeError("no length")  # only a hint: ignored

            def __getitem__(self, i):
                if i < 1:
                    return IMG
                raise IndexError

        assert len(ba.batch_calculate_luminance(Broken())) == 1


HUGE_LENGTH_CASES = {
    # The length is only a capacity hint; the first element is refused.
    "range": ("ba.load_image_batch(range(10**12))", "TypeError",
              "argument 'image_paths': 'int' object cannot be converted to 'PyString'"),
    "broadcast_uint16": (
        "ba.batch_calculate_luminance(np.broadcast_to(np.zeros((1, 1, 1, 3), np.uint16), (10**11, 2, 2, 3)))",
        "TypeError", "argument 'images': 'ndarray' object cannot be converted to 'PyArray<T, D>'"),
    # A __len__ that lies: the three real elements work.
    "lying_len_images": ("ba.batch_calculate_luminance(Lying([np.full((2, 2, 3), 9, np.uint8)] * 3))",
                         None, [9.0, 9.0, 9.0]),
    "lying_len_boxes": ("[a.shape for a in ba.batch_crop_images([np.zeros((4, 4, 1), np.uint8)] * 2,"
                        " Lying([(0, 0, 2, 3)] * 2))]", None, [[3, 2, 1], [3, 2, 1]]),
    "lying_len_paths": ("ba.load_image_batch(Lying(['/nonexistent/x'] * 2))", None, [None, None]),
}


class TestReportedLengths:
    """A sequence's length is a hint: a huge one neither reserves memory nor
    ends the process (each case runs in a child, as such a regression would
    abort the interpreter)."""

    @pytest.mark.parametrize("case", sorted(HUGE_LENGTH_CASES))
    def test_huge_reported_lengths_neither_abort_nor_reserve(self, case):
        expression, error, expected = HUGE_LENGTH_CASES[case]
        out = last_json(run_child(f"""
            import json
            import numpy as np
            import batchaugmentor as ba

            class Lying:
                def __init__(self, items): self.items = items
                def __len__(self): return 10**11
                def __getitem__(self, i): return self.items[i]
                def __iter__(self): return iter(self.items)

            try:
                result = {expression}
                print(json.dumps(["ok", result]))
            except Exception as e:
                print(json.dumps([type(e).__name__, str(e)]))
        """, check=True).stdout)
        if error is None:
            assert out == ["ok", expected]
        else:
            assert out == [error, expected]


class TestAccepted:
    def test_integers_through_index_bool_and_numpy_scalars(self):
        Box = collections.namedtuple("Box", "x y w h")
        out = ba.batch_crop_images([IMG, IMG], [Box(np.uint8(1), np.int64(2), True, 2), (0, 0, 5, 4)])
        assert out[0].tolist() == IMG[2:4, 1:2].tolist()
        assert out[1].shape == (4, 5, 3)

    def test_64_bit_target_accepted_by_crop_functions(self):
        out = ba.batch_center_crop_images([IMG], [(2**32, 10)])
        assert out[0].shape == IMG.shape

    def test_negative_and_true_in_targets(self):
        with pytest.raises(OverflowError):
            ba.batch_center_crop_images([IMG], [(-1, 10)])
        assert ba.batch_center_crop_images([IMG], [(True, 10)])[0].shape == (4, 1, 3)

    def test_4d_array_is_a_sequence_of_images(self):
        video = np.zeros((2, 4, 4, 3), np.uint8)
        video[1] = 9
        assert ba.batch_calculate_luminance(video) == [0.0, 9.0]

    def test_read_only_subclass_views_and_repeats_are_accepted(self):
        class Sub(np.ndarray):
            pass

        ro = IMG.copy()
        ro.flags.writeable = False
        sub = IMG.view(Sub)
        equivalent = IMG.view(np.dtype("B"))
        out = ba.batch_calculate_luminance([ro, sub, IMG[::2, ::-1], IMG, IMG, equivalent])
        assert out[0] == out[1] == out[3] == out[4] == out[5]

    @pytest.mark.parametrize(
        "images, sizes, expected",
        [(3, 2, 2), (2, 3, 2), (0, 3, 0), (3, 0, 0)],
    )
    def test_pairing_uses_the_shorter_list(self, images, sizes, expected):
        out = ba.batch_center_crop_images([IMG] * images, [(2, 2)] * sizes)
        assert len(out) == expected

    def test_surplus_entries_are_still_checked(self):
        with pytest.raises(ValueError, match="expected tuple of length 4"):
            ba.batch_crop_images([IMG], [(0, 0, 1, 1), (1, 2)])
