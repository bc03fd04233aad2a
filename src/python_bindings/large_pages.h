#include "platform/large_pages.h"  // moved; kept until the last includes of this path are switched
namespace batchaugmentor::bindings { using platform::LargePageRequest; }
