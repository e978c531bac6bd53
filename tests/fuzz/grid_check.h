// What every foreign-heightmap fuzz target checks of read_grid: on failure
// nothing held and a known case; on success exactly one buffer, a size
// within the limits, and the void count and value range the samples give.
// take_grid, which may build the grid inside the file's own buffer, must
// give the same verdict and the same samples.
#pragma once

#include <cmath>

#include "fuzz_check.h"
#include "heightmap_formats.h"

inline void check_read_grid(const char* path, const uint8_t* data, size_t size, GridHints hints = {}) {
    const std::vector<uint8_t> bytes = exact_copy(data, size);
    const uint64_t live = hook_live_blocks();
    Grid grid;
    const char* detail = nullptr;
    const GridError error = read_grid(path, bytes.data(), bytes.size(), hints, &grid, &detail);
    FUZZ_CHECK(hook_live_blocks() == live);
    FUZZ_CHECK(error <= GridError::unsupported_compression);
    if (detail != nullptr) FUZZ_CHECK(strlen(detail) < 256);
    if (error == GridError::unsupported_compression) FUZZ_CHECK(detail != nullptr && strstr(detail, "compression"));
    FileBytes file{allocate_buffer(size), size};
    FUZZ_CHECK(file.data != nullptr);
    if (size > 0) memcpy(file.data, data, size);
    Grid taken;
    const GridError taken_error = take_grid(path, &file, hints, &taken);
    FUZZ_CHECK(taken_error == error && file.data == nullptr);
    if (error != GridError::none) {
        FUZZ_CHECK(grid.u16 == nullptr && grid.f32 == nullptr);
        FUZZ_CHECK(taken.u16 == nullptr && taken.f32 == nullptr);
        return;
    }
    FUZZ_CHECK(taken.width == grid.width && taken.height == grid.height && taken.voids == grid.voids);
    FUZZ_CHECK((taken.u16 == nullptr) == (grid.u16 == nullptr));
    FUZZ_CHECK((grid.u16 == nullptr) != (grid.f32 == nullptr));
    FUZZ_CHECK(grid.width >= 1 && grid.width <= 65535 && grid.height >= 1 && grid.height <= 65535);
    const uint64_t count = uint64_t{grid.width} * grid.height;
    uint64_t voids = 0;
    double lowest = INFINITY, highest = -INFINITY;
    for (uint64_t i = 0; i < count; ++i) {
        const double v = grid.u16 != nullptr ? grid.u16[i] : grid.f32[i];
        const double w = taken.u16 != nullptr ? taken.u16[i] : taken.f32[i];
        FUZZ_CHECK(same_bytes(&v, &w, sizeof v) || (std::isnan(v) && std::isnan(w)));
        if (std::isnan(v)) {
            ++voids;
            continue;
        }
        FUZZ_CHECK(std::isfinite(v));
        lowest = v < lowest ? v : lowest;
        highest = v > highest ? v : highest;
    }
    FUZZ_CHECK(voids == grid.voids && voids < count);
    FUZZ_CHECK(lowest == grid.lowest && highest == grid.highest);
    release_grid(&grid);
    release_grid(&taken);
}
