// Interim: resizing is being written; refuse every item until it lands.
#include "resize/resize.h"

namespace batchaugmentor::resize {

Outcome<ImageArray> resize_image(const ImageView&, std::uint32_t, std::uint32_t) {
  return OperationError::refused("Resizing is not available in this build");
}
Outcome<VideoArray> resize_video(const VideoView&, std::uint32_t, std::uint32_t) {
  return OperationError::refused("Resizing is not available in this build");
}

}  // namespace batchaugmentor::resize
