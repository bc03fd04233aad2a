// Mean luminance of one image.
//
//   double y = image_luminance(view);   // NaN for an empty image
//
// Three or more channels: BT.601 weights on channels 0-2, one running double
// sum in row-major pixel order (the order fixes the rounding). Fewer than
// three: the exact integer mean of all samples.
#pragma once

#include "common/image.h"

namespace batchaugmentor::luminance {

double image_luminance(const ImageView& image);

}  // namespace batchaugmentor::luminance
