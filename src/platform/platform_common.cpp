// Platform procedures shared by both systems, built on each one's own.
#include "platform.h"

bool write_file_whole(const char* path, const uint8_t* bytes, uint64_t count) {
    FileWrite* file = begin_file_write(path, count);
    if (file == nullptr) return false;
    if (!write_file_part(file, bytes, count)) {
        abandon_file_write(file);
        return false;
    }
    return finish_file_write(file);
}

Status report_out_of_memory(const char* path) {
    Status status = last_error_code();
    console_printf("Error: Out of memory while processing %s.\r\n", path);
    return status != status_ok ? status : status_refused;
}

bool report_output_is_input(const char* output, const char* input) {
    if (!same_file(output, input)) return false;
    console_printf("Error: %s is also an input of this command; nothing was written.\r\n", output);
    return true;
}
