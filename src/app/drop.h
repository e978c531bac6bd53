// Files dropped on hmap in Explorer (or opened with it from a file manager,
// or named without an option): what to do is told by what they hold.
#pragma once

#include "platform.h"

// `count` paths (at most 3). When they are one battle file, one battle file
// and two heightmaps (PNGs or other tools', in any order), or one heightmap,
// does what a drop of them does, stores its exit status in `status` and
// returns true; returns false, having printed nothing, for anything else.
bool open_files(const char* const* paths, int count, Status* status);
