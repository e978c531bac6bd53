// The limits every room keeps to, each defined once.
#pragma once

#include <cstdint>

// The most pixels a heightmap has a side: a battle file's dimensions are
// below 65536, and no other tool's heightmap is taken larger.
constexpr uint32_t max_heightmap_side = 65535;

// Deflate turns each byte into at most 1032 (a 258-byte match in two bits):
// data that claims to inflate to more than that is not whole.
constexpr uint64_t deflate_max_ratio = 1032;
