// The strips a picture is drawn in, shared by the writer and a second
// thread that draws ahead (picture.cpp). Declared here for the tests, which
// drive the second thread through its hooks.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform.h"

struct Painter;

constexpr uint32_t most_slots = 64;

struct RowRing {
    Painter* painters[2];  // the writer's, the second thread's
    uint8_t* rows;         // `slots` strips of strip_rows rows, slot_bytes apart
    uint64_t row_bytes, slot_bytes;
    uint32_t slots, strips, height;
    std::atomic<uint32_t> claimed{0};  // strips given to a thread to draw
    std::atomic<uint32_t> taken{0};    // strips the writer has copied out; all of them once it stops
    std::atomic<uint32_t> drawn[most_slots] = {};  // 1 + the strip last drawn in each slot
    std::atomic<bool> stopped{false};
    Gate* gate;  // where each thread waits for the other
    // For tests, null in use: runs on the second thread when it finds no
    // strip to draw, before it looks whether it must wait for room.
    void (*before_look)(RowRing* ring) = nullptr;
    // For tests, null in use: takes the place of the gate's wait.
    void (*wait)(RowRing* ring, const std::atomic<uint32_t>* value, uint32_t old) = nullptr;
};

// The second thread's work: draws strips ahead of the writer until every
// strip is given out or the writer stops.
void draw_ahead(void* ring);
// The writer stops the second thread, whether the picture is whole or its
// write failed part-way, and wakes it wherever it waits.
void stop_drawing(RowRing* ring);
