"""batchaugmentor_io's fast PNG path (8-bit, not interlaced) against Pillow,
on PNGs written here with a random filter per row, odd sizes and image data
split over several chunks (empty ones too); and mutated copies of them, which
must never crash. tests/cpp/decoding_png_test.cpp compares the path with
libpng's, on damaged files too."""

import io
import os
import struct
import warnings
import zlib

import numpy as np
import pytest

bio = pytest.importorskip(
    "batchaugmentor_io",
    reason="batchaugmentor_io is not in this build (BATCHAUGMENTOR_DECODERS=OFF, e.g. the release wheel)")
Image = pytest.importorskip("PIL.Image", reason="Pillow is the oracle of these tests")

CHANNELS = {"RGB": 3, "L": 1, "RGBA": 4}
SAMPLES = {0: 1, 2: 3, 3: 1, 4: 2, 6: 4}


def chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))


def paeth(a, b, c):
    pa, pb, pc = abs(b - c), abs(a - c), abs(a + b - 2 * c)
    return np.where((pa <= pb) & (pa <= pc), a, np.where(pb <= pc, b, c))


def filtered(rows, bpp, rng):
    """Rows of bytes as PNG scanlines, each with a random filter type."""
    out, prior = [], np.zeros(rows.shape[1], np.int64)
    for row in rows.astype(np.int64):
        a = np.concatenate([np.zeros(bpp, np.int64), row[:-bpp]])
        c = np.concatenate([np.zeros(bpp, np.int64), prior[:-bpp]])
        kind = int(rng.integers(0, 5))
        guess = [0, a, prior, (a + prior) // 2, paeth(a, prior, c)][kind]
        out.append(bytes([kind]) + ((row - guess) % 256).astype(np.uint8).tobytes())
        prior = row
    return b"".join(out)


def write_png(samples, color_type, rng, palette=None, trns=None):
    h, w, c = samples.shape
    stream = zlib.compress(filtered(samples.reshape(h, w * c), c, rng), int(rng.integers(0, 10)))
    cuts = [0, *sorted(rng.integers(0, len(stream) + 1, 3)), len(stream)]
    out = [b"\x89PNG\r\n\x1a\n", chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, color_type, 0, 0, 0))]
    if palette is not None:
        out.append(chunk(b"PLTE", palette.tobytes()))
    if trns is not None:
        out.append(chunk(b"tRNS", trns))
    out += [chunk(b"IDAT", stream[a:b]) for a, b in zip(cuts, cuts[1:])]
    return b"".join(out + [chunk(b"IEND", b"")])


# Colour type and tRNS; small sample values where a key is to be hit.
KINDS = {"grey": (0, None), "grey_key": (0, struct.pack(">H", 3)), "rgb": (2, None),
         "rgb_key": (2, struct.pack(">HHH", 1, 2, 3)), "palette": (3, None), "palette_alpha": (3, b"\x00\x80\xff\x07"),
         "grey_alpha": (4, None), "rgba": (6, None)}


def make(kind, width, height, seed=0):
    color_type, trns = KINDS[kind]
    rng = np.random.default_rng([seed, width, height, color_type])
    top = 4 if trns is not None and color_type != 3 else 256
    samples = rng.integers(0, top, (height, width, SAMPLES[color_type]), dtype=np.uint8)
    palette = None
    if color_type == 3:
        palette = rng.integers(0, 256, (256, 3), dtype=np.uint8)
    return write_png(samples, color_type, rng, palette, trns)


def pillow(data, mode):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)  # palette transparency as bytes: convert() handles it
        result = np.asarray(Image.open(io.BytesIO(data)).convert(mode))
    return result[..., None] if result.ndim == 2 else result


@pytest.mark.parametrize("mode", ["RGB", "L", "RGBA"])
@pytest.mark.parametrize("width, height", [(1, 1), (2, 5), (3, 1), (7, 4), (33, 9), (301, 2)])
@pytest.mark.parametrize("kind", sorted(KINDS))
def test_every_colour_type_and_filter_decodes_like_pillow(kind, width, height, mode):
    data = make(kind, width, height)
    [ours] = bio.decode_image_batch([data], mode=mode, errors="raise")
    assert ours.shape == (height, width, CHANNELS[mode]) and ours.flags.c_contiguous
    np.testing.assert_array_equal(ours, pillow(data, mode))


def test_a_large_image_decodes_like_pillow_on_many_threads():
    batch = [make(kind, 640, 480, seed) for seed, kind in enumerate(["rgb", "rgba", "palette", "grey_alpha"] * 2)]
    for data, ours in zip(batch, bio.decode_image_batch(batch, mode="RGBA", errors="raise")):
        np.testing.assert_array_equal(ours, pillow(data, "RGBA"))


FUZZ_EXAMPLES = int(os.environ.get("BA_FUZZ_EXAMPLES", "200"))


def mutate(data, rng):
    """A few bytes changed, or a cut; half the time the damaged chunk's CRC is
    made right again, so that the damage reaches the image data."""
    b = bytearray(data)
    if rng.integers(0, 4) == 0:
        return bytes(b[: rng.integers(8, len(b))])
    starts, at = [], 8
    while at + 12 <= len(b):
        starts.append(at)
        at += 12 + struct.unpack(">I", b[at:at + 4])[0]
    start = starts[rng.integers(0, len(starts))]
    size = struct.unpack(">I", b[start:start + 4])[0]
    for at in rng.integers(start + 4, start + 8 + size, rng.integers(1, 5)):
        b[at] = rng.integers(0, 256)
    if rng.integers(0, 2):
        b[start + 8 + size:start + 12 + size] = struct.pack(">I", zlib.crc32(bytes(b[start + 4:start + 8 + size])))
    return bytes(b)


@pytest.mark.parametrize("kind", sorted(KINDS))
def test_mutated_files_never_crash_nor_report_a_broken_success(kind):
    """Runs under the sanitizer builds too (./dev asan, ./dev ubsan)."""
    rng = np.random.default_rng(sum(kind.encode()))
    batch = [mutate(make(kind, 23, 11, seed), rng) for seed in range(FUZZ_EXAMPLES)]
    for mode in ("RGB", "L", "RGBA"):
        results = bio.decode_image_batch(batch, mode=mode, max_pixels=1 << 22)
        assert len(results) == len(batch)
        for r in results:
            assert r is None or (r.dtype == np.uint8 and r.ndim == 3 and r.shape[2] == CHANNELS[mode]
                                 and r.flags.c_contiguous)
    assert sum(r is None for r in results) > 0  # the damage was seen
