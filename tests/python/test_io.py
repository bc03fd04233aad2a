"""batchaugmentor_io: decoding against Pillow on a corpus the tests write.

Pillow is the oracle. Its wheels bundle their own libjpeg-turbo (3.x) and
libwebp, newer than the Debian 12 libraries this module is built against
(libjpeg-turbo 2.1.5, libpng 1.6.39, libwebp 1.2.4); the integer DCT, the
fancy upsampling and libwebp's decoders give the same bytes across those
versions, so every comparison here is exact except where a test says why
not (16-bit grey PNG, where Pillow clips instead of scaling)."""

import io
import os
import struct
import warnings
import zlib

import numpy as np
import pytest

import batchaugmentor as ba

bio = pytest.importorskip(
    "batchaugmentor_io",
    reason="batchaugmentor_io is not in this build (BATCHAUGMENTOR_DECODERS=OFF)")
Image = pytest.importorskip("PIL.Image", reason="Pillow is the oracle of these tests")
from PIL import ImageOps  # noqa: E402

CHANNELS = {"RGB": 3, "L": 1, "RGBA": 4}


def photo(width, height, seed=0):
    """A smooth picture with noise: JPEG has edges and flat parts to code."""
    rng = np.random.default_rng(seed)
    y, x = np.mgrid[0:height, 0:width]
    a = np.stack([x * 255 // max(width - 1, 1), y * 255 // max(height - 1, 1), (x + y) * 3 % 256], -1)
    return (a + rng.integers(-20, 20, a.shape)).clip(0, 255).astype(np.uint8)


def encode(image, fmt, **options):
    out = io.BytesIO()
    image.save(out, fmt, **options)
    return out.getvalue()


def pillow(data, mode, apply_exif=True, draft=None):
    with warnings.catch_warnings():
        # "Palette images with Transparency expressed in bytes should be
        # converted to RGBA images": what convert() is about to do.
        warnings.simplefilter("ignore", UserWarning)
        return pillow_unwarned(data, mode, apply_exif, draft)


def pillow_unwarned(data, mode, apply_exif, draft):
    image = Image.open(io.BytesIO(data))
    if draft is not None:
        image.draft(mode, draft)
    if apply_exif:
        image = ImageOps.exif_transpose(image)
    result = np.asarray(image.convert(mode))
    return result[..., None] if result.ndim == 2 else result


BASE = photo(67, 45)
PICTURE = Image.fromarray(BASE)


def jpeg_corpus():
    c = {
        "jpeg_444": encode(PICTURE, "JPEG", quality=90, subsampling=0),
        "jpeg_422": encode(PICTURE, "JPEG", quality=90, subsampling=1),
        "jpeg_420": encode(PICTURE, "JPEG", quality=75, subsampling=2),
        "jpeg_progressive": encode(PICTURE, "JPEG", quality=80, progressive=True),
        "jpeg_optimized": encode(PICTURE, "JPEG", optimize=True),
        "jpeg_restart_markers": encode(PICTURE, "JPEG", restart_marker_rows=1),
        "jpeg_grey": encode(PICTURE.convert("L"), "JPEG"),
        "jpeg_grey_progressive": encode(PICTURE.convert("L"), "JPEG", progressive=True),
        "jpeg_cmyk": encode(PICTURE.convert("CMYK"), "JPEG"),
        "jpeg_one_pixel": encode(Image.new("RGB", (1, 1), (200, 10, 30)), "JPEG"),
        "jpeg_odd_size": encode(Image.fromarray(photo(17, 9, 3)), "JPEG", subsampling=2),
    }
    return c


# --- a PNG writer for what Pillow cannot write: every bit depth, Adam7 ------

ADAM7 = [(0, 0, 8, 8), (4, 0, 8, 8), (0, 4, 4, 8), (2, 0, 4, 4), (0, 2, 2, 4), (1, 0, 2, 2), (0, 1, 1, 2)]


def png_chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))


def pack_rows(samples, depth):
    """Rows of samples (h, w, c) as PNG scanlines, filter byte 0 each."""
    h, w, c = samples.shape
    rows = []
    for row in samples.reshape(h, w * c):
        if depth == 16:
            data = row.astype(">u2").tobytes()
        elif depth == 8:
            data = row.astype(np.uint8).tobytes()
        else:
            per = 8 // depth
            padded = np.zeros(-(-len(row) // per) * per, np.uint8)
            padded[: len(row)] = row
            groups = padded.reshape(-1, per)
            data = bytes(sum(int(v) << (8 - depth * (k + 1)) for k, v in enumerate(g)) for g in groups)
        rows.append(b"\0" + data)
    return b"".join(rows)


def make_png(samples, color_type, depth, palette=None, trns=None, interlace=False, exif=None):
    h, w, _ = samples.shape
    out = [b"\x89PNG\r\n\x1a\n", png_chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, depth, color_type, 0, 0, int(interlace)))]
    if palette is not None:
        out.append(png_chunk(b"PLTE", bytes(np.asarray(palette, np.uint8).ravel())))
    if trns is not None:
        out.append(png_chunk(b"tRNS", trns))
    if exif is not None:
        out.append(png_chunk(b"eXIf", exif))
    if interlace:
        raw = b"".join(pack_rows(samples[y0::dy, x0::dx], depth) for x0, y0, dx, dy in ADAM7
                       if samples[y0::dy, x0::dx].size)
    else:
        raw = pack_rows(samples, depth)
    out.append(png_chunk(b"IDAT", zlib.compress(raw)))
    out.append(png_chunk(b"IEND", b""))
    return b"".join(out)


def png_corpus():
    rng = np.random.default_rng(7)
    h, w = 13, 21
    c = {}
    for interlace in (False, True):
        tag = "_adam7" if interlace else ""
        for depth in (1, 2, 4, 8, 16):
            grey = rng.integers(0, 1 << depth, (h, w, 1))
            c[f"png_grey{depth}{tag}"] = make_png(grey, 0, depth, interlace=interlace)
            if depth <= 8:
                palette = rng.integers(0, 256, (1 << depth, 3))
                c[f"png_palette{depth}{tag}"] = make_png(grey, 3, depth, palette=palette, interlace=interlace)
                alphas = bytes(rng.integers(0, 256, min(1 << depth, 5)).astype(np.uint8))
                c[f"png_palette{depth}_trns{tag}"] = make_png(grey, 3, depth, palette=palette, trns=alphas,
                                                             interlace=interlace)
            if depth == 8:
                key = int(grey[0, 0, 0])
                c[f"png_grey8_trns{tag}"] = make_png(grey, 0, 8, trns=struct.pack(">H", key), interlace=interlace)
        for depth in (8, 16):
            top = 1 << depth
            c[f"png_rgb{depth}{tag}"] = make_png(rng.integers(0, top, (h, w, 3)), 2, depth, interlace=interlace)
            c[f"png_grey_alpha{depth}{tag}"] = make_png(rng.integers(0, top, (h, w, 2)), 4, depth,
                                                       interlace=interlace)
            c[f"png_rgba{depth}{tag}"] = make_png(rng.integers(0, top, (h, w, 4)), 6, depth, interlace=interlace)
        rgb = rng.integers(0, 256, (h, w, 3))
        rgb[0, 0] = (1, 2, 3)
        c[f"png_rgb8_trns{tag}"] = make_png(rgb, 2, 8, trns=struct.pack(">HHH", 1, 2, 3), interlace=interlace)
    c["png_pillow_rgb"] = encode(PICTURE, "PNG")
    c["png_pillow_palette"] = encode(PICTURE.convert("P"), "PNG")
    return c


def webp_corpus():
    rgba = Image.fromarray(np.dstack([BASE, photo(67, 45, 9)[..., :1]]))
    frames = [Image.fromarray(photo(30, 20, s)) for s in (1, 2)]
    animated = io.BytesIO()
    frames[0].save(animated, "WEBP", save_all=True, append_images=frames[1:], lossless=True)
    return {
        "webp_lossy": encode(PICTURE, "WEBP", quality=80),
        "webp_lossy_alpha": encode(rgba, "WEBP", quality=80),
        "webp_lossless": encode(PICTURE, "WEBP", lossless=True),
        "webp_lossless_alpha": encode(rgba, "WEBP", lossless=True, exact=True),
        "webp_animated": animated.getvalue(),
    }


CORPUS = {**jpeg_corpus(), **png_corpus(), **webp_corpus()}
GREY16 = [k for k in CORPUS if k.startswith("png_grey16")]


def decode_one(data, **options):
    [result] = bio.decode_image_batch([data], errors="raise", **options)
    return result


@pytest.mark.parametrize("mode", ["RGB", "L", "RGBA"])
@pytest.mark.parametrize("name", [k for k in CORPUS if k not in GREY16])
def test_decodes_like_pillow_byte_for_byte(name, mode):
    ours = decode_one(CORPUS[name], mode=mode)
    expected = pillow(CORPUS[name], mode)
    assert ours.dtype == np.uint8 and ours.flags.c_contiguous and ours.flags.owndata
    assert ours.shape == expected.shape
    np.testing.assert_array_equal(ours, expected)


@pytest.mark.parametrize("mode", ["RGB", "L", "RGBA"])
@pytest.mark.parametrize("name", GREY16)
def test_sixteen_bit_grey_keeps_the_high_byte(name, mode):
    # Pillow opens 16-bit grey as I;16 and clips it to 255 when converting
    # (a white image); like libpng and Pillow's own 16-bit RGB, the high byte.
    grey = np.asarray(Image.open(io.BytesIO(CORPUS[name]))).astype(np.uint16) >> 8
    grey = grey.astype(np.uint8)[..., None]
    expected = {"L": grey, "RGB": np.repeat(grey, 3, 2),
                "RGBA": np.dstack([np.repeat(grey, 3, 2), np.full_like(grey, 255)])}[mode]
    np.testing.assert_array_equal(decode_one(CORPUS[name], mode=mode), expected)


def with_orientation(fmt, orientation):
    exif = Image.Exif()
    exif[0x0112] = orientation
    image = Image.fromarray(photo(23, 11, orientation))
    if fmt == "PNG-eXIf":
        # A PNG eXIf chunk holds the TIFF block without JPEG's "Exif\0\0".
        block = exif.tobytes()
        return make_png(np.asarray(image), 2, 8, exif=block[6:] if block.startswith(b"Exif\0\0") else block)
    options = {"quality": 90} if fmt == "JPEG" else {"lossless": True}
    return encode(image, fmt, exif=exif.tobytes(), **options)


@pytest.mark.parametrize("fmt", ["JPEG", "WEBP", "PNG-eXIf"])
@pytest.mark.parametrize("orientation", range(1, 9))
def test_exif_orientation_is_applied_like_pillow(fmt, orientation):
    data = with_orientation(fmt, orientation)
    ours = decode_one(data)
    np.testing.assert_array_equal(ours, pillow(data, "RGB"))
    assert ours.shape[:2] == ((23, 11) if orientation >= 5 else (11, 23))
    np.testing.assert_array_equal(decode_one(data, apply_exif=False), pillow(data, "RGB", apply_exif=False))


def test_orientation_and_mode_combine():
    data = with_orientation("JPEG", 6)
    np.testing.assert_array_equal(decode_one(data, mode="L"), pillow(data, "L"))
    np.testing.assert_array_equal(decode_one(data, mode="RGBA"), pillow(data, "RGBA"))


BIG = photo(800, 600, 4)


@pytest.mark.parametrize("min_size, scale", [((100, 75), 8), ((101, 75), 4), ((200, 151), 2),
                                             ((401, 10), 1), ((0, 0), 8), ((800, 600), 1)])
@pytest.mark.parametrize("progressive", [False, True])
def test_min_size_picks_the_smallest_scale_that_keeps_both_sides(min_size, scale, progressive):
    data = encode(Image.fromarray(BIG), "JPEG", quality=85, progressive=progressive)
    ours = decode_one(data, min_size=min_size)
    size = (-(-800 // scale), -(-600 // scale))
    assert ours.shape == (size[1], size[0], 3)
    # Pillow's draft mode asks libjpeg for the same scale.
    np.testing.assert_array_equal(ours, pillow(data, "RGB", draft=size))


def test_min_size_counts_sides_after_orientation():
    exif = Image.Exif()
    exif[0x0112] = 6
    data = encode(Image.fromarray(BIG), "JPEG", exif=exif.tobytes())
    # Upright the image is 600 wide and 800 high.
    assert decode_one(data, min_size=(150, 200)).shape == (200, 150, 3)
    assert decode_one(data, min_size=(200, 150)).shape == (400, 300, 3)


@pytest.mark.parametrize("name", ["png_pillow_rgb", "webp_lossless"])
def test_min_size_leaves_other_formats_at_full_size(name):
    assert decode_one(CORPUS[name], min_size=(1, 1)).shape == (45, 67, 3)


CUT_NAMES = ["jpeg_420", "jpeg_progressive", "png_rgb8", "png_palette4_adam7", "webp_lossy", "webp_lossless"]


@pytest.mark.parametrize("fraction", [0.0, 0.1, 0.5, 0.9])
@pytest.mark.parametrize("name", CUT_NAMES)
def test_truncated_content_is_none(name, fraction):
    data = CORPUS[name]
    cut = data[: max(1, int(len(data) * fraction))]
    assert bio.decode_image_batch([cut, data]) [0] is None


@pytest.mark.parametrize("name, reason", [
    ("jpeg_420", "truncated JPEG data"),
    ("png_rgb8", "corrupt or truncated PNG data"),
    ("webp_lossless", "truncated WebP data"),
])
def test_errors_raise_names_the_item_and_the_reason(name, reason):
    data = CORPUS[name]
    cut = data[: len(data) * 3 // 4]
    with pytest.raises(ValueError, match=f"^Decoding failed: item 2: {reason}$"):
        bio.decode_image_batch([data, None, cut, b"junk"], errors="raise")


@pytest.mark.parametrize("name", ["jpeg_420", "jpeg_444", "jpeg_restart_markers", "jpeg_grey"])
def test_a_sequential_jpeg_missing_only_its_end_marker_decodes(name):
    data = CORPUS[name]
    assert data.endswith(b"\xff\xd9")
    np.testing.assert_array_equal(decode_one(data[:-2]), pillow(data, "RGB"))


def test_a_progressive_jpeg_that_runs_out_is_refused_even_between_scans():
    # Its missing scans would leave a blurred image that looks whole.
    data = CORPUS["jpeg_progressive"]
    last_scan = data.rindex(b"\xff\xda")
    for cut in (data[:-2], data[:last_scan]):
        with pytest.raises(ValueError, match="^Decoding failed: item 0: truncated JPEG data$"):
            bio.decode_image_batch([cut], errors="raise")


def test_content_that_is_no_image_is_refused():
    assert bio.decode_image_batch([b"", b"GIF89a", b"\xff\xd8"]) == [None, None, None]
    with pytest.raises(ValueError, match="^Decoding failed: item 0: not a JPEG, PNG or WebP image$"):
        bio.decode_image_batch([b"GIF89a"], errors="raise")


def corrupted(data, seed):
    rng = np.random.default_rng(seed)
    b = bytearray(data)
    for at in rng.integers(0, len(b), 8):
        b[at] = rng.integers(0, 256)
    return bytes(b)


@pytest.mark.parametrize("name", CUT_NAMES)
def test_corrupt_content_is_an_array_or_none_never_a_crash(name):
    results = bio.decode_image_batch([corrupted(CORPUS[name], s) for s in range(40)])
    assert len(results) == 40
    for r in results:
        assert r is None or (r.dtype == np.uint8 and r.ndim == 3 and r.shape[2] == 3)


def sof_with_size(data, width, height):
    at = data.index(b"\xff\xc0")
    return data[: at + 5] + struct.pack(">HH", height, width) + data[at + 9:]


def ihdr_with_size(data, width, height):
    ihdr = b"IHDR" + struct.pack(">II", width, height) + data[24:29]
    return data[:12] + ihdr + struct.pack(">I", zlib.crc32(ihdr)) + data[33:]


HUGE = {
    "jpeg": sof_with_size(CORPUS["jpeg_444"], 65500, 65500),
    "png": ihdr_with_size(CORPUS["png_rgb8"], 65500, 65500),
}


@pytest.mark.parametrize("name", sorted(HUGE))
def test_a_huge_header_is_refused_before_any_pixel_memory(name):
    assert bio.decode_image_batch([HUGE[name]]) == [None]
    with pytest.raises(ValueError, match="^Decoding failed: item 0: image is larger than the pixel limit$"):
        bio.decode_image_batch([HUGE[name]], errors="raise")


@pytest.mark.parametrize("name", ["jpeg_444", "png_rgb8", "webp_lossy"])
def test_max_pixels_is_the_stored_size(name):
    data = CORPUS[name]
    h, w = decode_one(data).shape[:2]
    assert decode_one(data, max_pixels=w * h).shape[:2] == (h, w)
    assert bio.decode_image_batch([data], max_pixels=w * h - 1) == [None]


def test_no_pixel_limit_with_max_pixels_none():
    big = ihdr_with_size(CORPUS["png_rgb8"], 20000, 10000)  # past the default, and its data is too short
    with pytest.raises(ValueError, match="pixel limit"):
        bio.decode_image_batch([big], errors="raise")
    with pytest.raises(ValueError, match="^Decoding failed: item 0: corrupt or truncated PNG data$"):
        bio.decode_image_batch([big], max_pixels=None, errors="raise")


def many_scans_jpeg(scans):
    """A progressive JPEG whose first AC scan is repeated: each copy counts."""
    data = CORPUS["jpeg_grey_progressive"]
    starts = [i for i in range(len(data) - 1) if data[i] == 0xFF and data[i + 1] == 0xDA]
    second, third = starts[1], starts[2] if len(starts) > 2 else data.rindex(b"\xff\xd9")
    return data[:third] + data[second:third] * scans + data[third:]


def test_too_many_progressive_scans_are_refused():
    with pytest.raises(ValueError, match="^Decoding failed: item 0: JPEG has more progressive scans than the limit$"):
        bio.decode_image_batch([many_scans_jpeg(150)], errors="raise")


@pytest.mark.parametrize("kind", [bytes, bytearray, memoryview, lambda d: np.frombuffer(d, np.uint8).copy()])
def test_every_bytes_like_item_decodes_alike(kind):
    data = CORPUS["jpeg_420"]
    [a, none] = bio.decode_image_batch([kind(data), None])
    assert none is None
    np.testing.assert_array_equal(a, pillow(data, "RGB"))


def test_load_image_batch_chains_in(tmp_path):
    paths = []
    for name in ("jpeg_420", "png_rgba8", "webp_lossy"):
        p = tmp_path / name
        p.write_bytes(CORPUS[name])
        paths.append(str(p))
    paths.append(str(tmp_path / "missing"))
    decoded = bio.decode_image_batch(ba.load_image_batch(paths))
    assert decoded[3] is None
    for name, a in zip(("jpeg_420", "png_rgba8", "webp_lossy"), decoded):
        np.testing.assert_array_equal(a, pillow(CORPUS[name], "RGB"))


@pytest.mark.parametrize("mode", ["RGB", "L", "RGBA"])
def test_read_image_batch_reads_and_decodes(tmp_path, mode):
    names = ["jpeg_cmyk", "png_palette2_trns_adam7", "webp_lossless_alpha", "jpeg_progressive"]
    paths = []
    for name in names:
        p = tmp_path / name
        p.write_bytes(CORPUS[name])
        paths.append(str(p))
    results = bio.read_image_batch(paths + [str(tmp_path), str(tmp_path / "missing")], mode=mode)
    assert results[-2:] == [None, None]
    for name, a in zip(names, results):
        np.testing.assert_array_equal(a, pillow(CORPUS[name], mode))


def test_read_image_batch_raises_for_an_unreadable_file_when_asked(tmp_path):
    good = tmp_path / "a.jpg"
    good.write_bytes(CORPUS["jpeg_444"])
    with pytest.raises(ValueError, match="^Image reading failed: item 1: the file cannot be read$"):
        bio.read_image_batch([str(good), str(tmp_path / "missing")], errors="raise")


def test_many_images_in_one_batch_keep_their_order():
    names = sorted(CORPUS)
    results = bio.decode_image_batch([CORPUS[n] for n in names] * 3)
    for k, a in enumerate(results):
        if names[k % len(names)] in GREY16:
            continue
        np.testing.assert_array_equal(a, pillow(CORPUS[names[k % len(names)]], "RGB"))


def test_an_empty_batch_is_an_empty_list():
    assert bio.decode_image_batch([]) == []
    assert bio.read_image_batch([]) == []


@pytest.mark.parametrize("call, error, message", [
    (lambda: bio.decode_image_batch(), TypeError,
     "decode_image_batch() missing 1 required positional argument: 'contents'"),
    (lambda: bio.decode_image_batch([], "RGB"), TypeError,
     "decode_image_batch() takes 1 positional argument but 2 were given"),
    (lambda: bio.decode_image_batch([], colour="RGB"), TypeError,
     "decode_image_batch() got an unexpected keyword argument 'colour'"),
    (lambda: bio.decode_image_batch([], contents=[]), TypeError,
     "decode_image_batch() got multiple values for argument 'contents'"),
    (lambda: bio.decode_image_batch([], mode="CMYK"), ValueError, "mode must be 'RGB', 'L' or 'RGBA', not 'CMYK'"),
    (lambda: bio.decode_image_batch([], mode=3), TypeError, "mode must be 'RGB', 'L' or 'RGBA', not 'int'"),
    (lambda: bio.decode_image_batch([], min_size=[1, 2]), TypeError,
     "min_size must be None or a (width, height) tuple, not 'list'"),
    (lambda: bio.decode_image_batch([], min_size=(1, -2)), OverflowError, "can't convert negative int to unsigned"),
    (lambda: bio.decode_image_batch([], apply_exif=1), TypeError, "apply_exif must be True or False, not 'int'"),
    (lambda: bio.decode_image_batch([], max_pixels=0), ValueError, "max_pixels must be at least 1"),
    (lambda: bio.decode_image_batch([], max_pixels=1.5), TypeError, "max_pixels must be None or an int, not 'float'"),
    (lambda: bio.decode_image_batch([], errors="ignore"), ValueError, "errors must be 'none' or 'raise', not 'ignore'"),
    (lambda: bio.decode_image_batch("abc"), TypeError, "argument 'contents': Can't extract `str` to `Vec`"),
    (lambda: bio.decode_image_batch([b"", 3]), TypeError,
     "argument 'contents': expected bytes, bytearray, memoryview, a contiguous 1-D uint8 array or None, not 'int'"),
    (lambda: bio.decode_image_batch([np.zeros(4, np.float32)]), TypeError,
     "argument 'contents': expected bytes, bytearray, memoryview, a contiguous 1-D uint8 array or None, "
     "not 'ndarray'"),
    (lambda: bio.decode_image_batch([np.zeros(8, np.uint8)[::2]]), TypeError,
     "argument 'contents': expected bytes, bytearray, memoryview, a contiguous 1-D uint8 array or None, "
     "not 'ndarray'"),
    (lambda: bio.read_image_batch([b"a.jpg"]), TypeError, "argument 'paths': 'bytes' object cannot be converted to 'PyString'"),
])
def test_arguments_are_checked_before_any_item_runs(call, error, message):
    with pytest.raises(error) as caught:
        call()
    assert str(caught.value) == message


def test_an_argument_error_after_good_items_decodes_nothing():
    # The bad option is found before the first item's header is read: a
    # huge batch would otherwise run first.
    with pytest.raises(ValueError):
        bio.decode_image_batch([CORPUS["jpeg_420"]] * 1000 + [None], mode="X")


def test_held_contents_cannot_be_resized_during_the_call():
    data = bytearray(CORPUS["png_rgb8"])
    [a] = bio.decode_image_batch([data])
    data += b"x"  # released again after the call
    np.testing.assert_array_equal(a, pillow(CORPUS["png_rgb8"], "RGB"))


def test_the_two_modules_share_one_library_and_one_pool():
    assert bio.__file__ == ba.__file__
    assert bio.__all__ == ["decode_image_batch", "read_image_batch"]
    assert len(ba.__all__) == 7 and not hasattr(ba, "decode_image_batch")


FUZZ_EXAMPLES = int(os.environ.get("BA_FUZZ_EXAMPLES", "200"))
FUZZ_SEEDS = ["jpeg_420", "jpeg_progressive", "jpeg_cmyk", "jpeg_restart_markers", "png_palette4_trns_adam7",
              "png_rgba16", "png_grey_alpha8_adam7", "webp_lossy", "webp_lossy_alpha", "webp_lossless",
              "webp_animated"]


def mutate(data, rng):
    b = bytearray(data)
    kind = rng.integers(0, 4)
    if kind == 0:        # a few bytes changed
        for at in rng.integers(0, len(b), rng.integers(1, 17)):
            b[at] = rng.integers(0, 256)
    elif kind == 1:      # cut short
        del b[rng.integers(1, len(b)):]
    elif kind == 2:      # bytes inserted
        at = rng.integers(0, len(b))
        b[at:at] = bytes(rng.integers(0, 256, rng.integers(1, 64)).astype(np.uint8))
    else:                # a field in the first 64 bytes (sizes, lengths) set to extremes
        at = rng.integers(0, min(64, len(b) - 4))
        b[at:at + 4] = rng.choice([b"\xff\xff\xff\xff", b"\0\0\0\0", b"\x7f\xff\xff\xff", b"\0\0\xff\xff"])
    return bytes(b)


@pytest.mark.parametrize("name", FUZZ_SEEDS)
def test_mutated_content_never_crashes_nor_reports_a_broken_success(name):
    """Runs under the sanitizer builds too (./dev asan, ./dev ubsan)."""
    rng = np.random.default_rng(sum(name.encode()))
    batch = [mutate(CORPUS[name], rng) for _ in range(FUZZ_EXAMPLES)]
    for mode in ("RGB", "L", "RGBA"):
        results = bio.decode_image_batch(batch, mode=mode, max_pixels=1 << 22)
        assert len(results) == len(batch)
        for r in results:
            assert r is None or (r.dtype == np.uint8 and r.ndim == 3 and r.shape[2] == CHANNELS[mode]
                                 and r.flags.c_contiguous)
    for data in batch[:20]:
        try:
            bio.decode_image_batch([data], errors="raise")
        except ValueError as e:
            assert str(e).startswith("Decoding failed: item 0: ")
