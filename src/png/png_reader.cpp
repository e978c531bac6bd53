// Placeholder until this part is written.
#include "png_heightmap.h"
void* lodepng_malloc(size_t size) { return hook_alloc(size); }
void* lodepng_realloc(void* ptr, size_t new_size) { return hook_realloc(ptr, new_size); }
void lodepng_free(void* ptr) { hook_free(ptr); }
