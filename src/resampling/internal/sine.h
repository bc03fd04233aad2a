// The sine of the Lanczos filter: single precision in, single precision out,
// correctly rounded over the filter's whole domain (|x| < 3 pi and beyond, up
// to |x| <= 16).
//
//   float s = sine(x * kPi);
//
// C libraries round the last bit of sinf differently (the resize of a 2x2
// black-over-white image to 3x3 gives 127 or 128 in its middle row depending
// on it), so a result computed with the platform's sinf would change between
// a glibc build, a release build linked against another runtime and another
// architecture. This one is pure IEEE double arithmetic, evaluated in a fixed
// order with no fused multiply-add, so every build gives the same bits.
#pragma once

namespace batchaugmentor::resampling {

// Correctly rounded sin(x) for |x| <= 16; outside that range, or for NaN and
// infinities, the result is NaN (the filter never asks for those).
float sine(float x);

}  // namespace batchaugmentor::resampling
