#include "common/fault.h"  // moved; kept until the last includes of this path are switched
