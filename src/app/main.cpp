// hmap: exports the two heightmaps of a Kelvaroth battle file to 16-bit
// greyscale PNGs, imports them back, and shows or sets their sea level.
#include "command_line.h"

namespace {
CommandArguments arguments;  // filled once, before dispatch
}

int main(int argc, char** argv) {
    start_process();
    // Windows keeps the raw command line and splits it by our own rules; on
    // POSIX the shell has split it already.
    if (const char* line = platform_command_line()) {
        split_command_line(line, &arguments);
    } else {
        take_arguments(argc, argv, &arguments);
    }
    exit_process(dispatch_command(arguments));
}
