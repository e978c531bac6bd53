// An OpenEXR file in memory through OpenEXR's core library (see grid_check.h).
#include "grid_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    check_read_grid("in.exr", data, size);
    return 0;
}
