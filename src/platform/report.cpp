// Reports shared by both platforms, built on the platform's own procedures.
#include "platform.h"

Status report_out_of_memory(const char* path) {
    Status status = last_error_code();
    console_printf("Error: Out of memory while processing %s.\r\n", path);
    return status != status_ok ? status : status_refused;
}
