// Interim: file loading is being written; every path reads as unreadable.
#include "loading/load_file.h"

namespace batchaugmentor::loading {

LoadOutcome load_file_bytes(std::string_view) { return FileReadFailure{}; }

}  // namespace batchaugmentor::loading
