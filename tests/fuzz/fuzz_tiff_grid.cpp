// A TIFF in memory through libtiff's reader (see grid_check.h).
#include "grid_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    check_read_grid("in.tif", data, size);
    return 0;
}
