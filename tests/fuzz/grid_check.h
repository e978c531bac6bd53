// What every foreign-heightmap fuzz target checks of read_grid: on failure
// nothing held and a known case; on success exactly one buffer, a size
// within the limits, and the void count and value range the samples give.
// take_grid, which may build the grid inside the file's own buffer, must
// give the same verdict and the same samples; asked for 16-bit samples only,
// the reader gives the same grid when it has them, and else refuses it as
// needing a mapping (or as the full read refused it).
#pragma once

#include <cmath>

#include "fuzz_check.h"
#include "grid_testing.h"
#include "heightmap_formats.h"

inline void check_read_grid(const char* path, const uint8_t* data, size_t size, GridHints hints = {}) {
    const std::vector<uint8_t> bytes = exact_copy(data, size);
    const uint64_t live = hook_live_blocks();
    Grid grid;
    GridDetail detail;
    const GridError error = read_grid(path, bytes.data(), bytes.size(), hints, &grid, &detail);
    FUZZ_CHECK(hook_live_blocks() == live);
    FUZZ_CHECK(error <= GridError::unsupported_compression && error != GridError::needs_mapping);
    FUZZ_CHECK(strnlen(detail.text, sizeof detail.text) < sizeof detail.text);
    GridHints only = hints;
    only.samples_only = true;
    Grid samples;
    const GridError samples_error = read_grid(path, bytes.data(), bytes.size(), only, &samples);
    FUZZ_CHECK(hook_live_blocks() == live);
    if (error == GridError::none && grid.type == SampleType::u16) {
        FUZZ_CHECK(samples_error == GridError::none && samples.voids == grid.voids);
        release_grid(&samples);
    } else {
        FUZZ_CHECK(samples_error == GridError::needs_mapping || (error != GridError::none && samples_error == error));
        FUZZ_CHECK(!grid_held(samples));
    }
    FileBytes file{allocate_buffer(size), size};
    FUZZ_CHECK(file.data != nullptr);
    if (size > 0) memcpy(file.data, data, size);
    Grid taken;
    const GridError taken_error = take_grid(path, &file, hints, &taken);
    FUZZ_CHECK(taken_error == error && file.data == nullptr);
    if (error != GridError::none) {
        FUZZ_CHECK(!grid_held(grid) && !grid_held(taken));
        return;
    }
    FUZZ_CHECK(taken.width == grid.width && taken.height == grid.height && taken.voids == grid.voids);
    FUZZ_CHECK((taken.u16 == nullptr) == (grid.u16 == nullptr) && (taken.f32 == nullptr) == (grid.f32 == nullptr));
    FUZZ_CHECK((grid.u16 != nullptr) + (grid.f32 != nullptr) + (grid.f64 != nullptr) == 1);
    FUZZ_CHECK(grid.width >= 1 && grid.width <= 65535 && grid.height >= 1 && grid.height <= 65535);
    const uint64_t count = uint64_t{grid.width} * grid.height;
    uint64_t voids = 0;
    double lowest = INFINITY, highest = -INFINITY;
    for (uint64_t i = 0; i < count; ++i) {
        const double v = grid_value(grid, i);
        const double w = grid_value(taken, i);
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
