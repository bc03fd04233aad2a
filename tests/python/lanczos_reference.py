"""A plain, slow re-statement of the Lanczos-3 resize in float32 NumPy.

Written independently of the native code so the tests can compare against
it: every single-precision step is its own NumPy float32 operation (so it is
rounded once, to nearest even), sums start at 0.0 and run in tap order, and
the sine is correctly rounded to single precision, as the native code's is
(here by rounding the double-precision sine). Vectorised across pixels only,
never across taps.
"""

import math

import numpy as np

F = np.float32

PI = np.frombuffer(bytes.fromhex("db0f4940"), dtype="<f4")[0]
THREE = F(3.0)
HALF = F(0.5)
ONE = F(1.0)
ZERO = F(0.0)
I64_MAX = 2**63 - 1
I64_MIN = -(2**63)


def sinf(x):
    # The double sine is within a few double steps of the true value, so
    # one more rounding gives the nearest float unless the true value lies
    # that close to a half-way point, which no argument here does.
    return F(math.sin(float(x)))


def lanczos3_weight(x):
    x = F(x)
    if not (abs(x) < THREE):
        return ZERO
    first = ONE
    if x != ZERO:
        p = x * PI
        first = sinf(p) / p
    y = x / THREE
    second = ONE
    if y != ZERO:
        q = y * PI
        second = sinf(q) / q
    return F(first * second)


def _to_index(f):
    if math.isnan(f):
        return 0
    if f >= 2.0**63:
        return I64_MAX
    if f < -(2.0**63):
        return I64_MIN
    return int(f)


def window(n_src, n_dst, o):
    """(left, normalised float32 weights) of output position o."""
    ratio = F(n_src) / F(n_dst)
    stretch = ONE if ONE > ratio else ratio
    support = THREE * stretch
    c = (F(o) + HALF) * ratio
    left = _to_index(np.floor(c - support))
    left = 0 if left < 0 else min(left, n_src - 1)
    right = _to_index(np.ceil(support + c))
    right = left + 1 if right <= left else min(right, n_src)
    centre = c - HALF
    weights = []
    total = ZERO
    for k in range(right - left):
        x = (F(left + k) - centre) / stretch
        w = lanczos3_weight(x)
        weights.append(w)
        total = F(total + w)
    if not total > ZERO:
        # Nearest-sample fallback of a window that misses the main lobe.
        d = [abs(F(left + k) - centre) for k in range(right - left)]
        weights = [ZERO] * (right - left)
        weights[int(np.argmin(d))] = ONE
        return left, weights
    return left, [F(w / total) for w in weights]


def _to_bytes(t):
    clamped = np.minimum(t, F(255.0))
    whole = np.floor(clamped)
    rounded = whole + (clamped - whole >= HALF).astype(np.float32)
    return np.where(t < ZERO, ZERO, rounded).astype(np.uint8)


def resize_sums(image, width, height):
    """Unrounded float32 output samples, shape (height, width, 3)."""
    src = np.asarray(image, dtype=np.uint8).astype(np.float32)
    h, w = src.shape[:2]
    inter = np.zeros((height, w, 3), dtype=np.float32)
    for oy in range(height):
        left, weights = window(h, height, oy)
        t = np.zeros((w, 3), dtype=np.float32)
        for k, wk in enumerate(weights):
            t = t + wk * src[left + k]
        inter[oy] = t
    out = np.zeros((height, width, 3), dtype=np.float32)
    for ox in range(width):
        left, weights = window(w, width, ox)
        t = np.zeros((height, 3), dtype=np.float32)
        for k, wk in enumerate(weights):
            t = t + wk * inter[:, left + k]
        out[:, ox] = t
    return out


def resize(image, width, height):
    """The resized uint8 image of shape (height, width, 3)."""
    image = np.asarray(image, dtype=np.uint8)
    h, w = image.shape[:2]
    if h == 0 or w == 0:
        return np.zeros((height, width, 3), dtype=np.uint8)
    if (w, h) == (width, height):
        return image.copy()
    return _to_bytes(resize_sums(image, width, height))
