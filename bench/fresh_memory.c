/* What this machine charges for fresh memory: mallocs 256 MiB, touches one
 * byte of every page (the kernel finds and clears a page for each), and
 * prints the milliseconds per MiB, the median of `runs` runs (default 5;
 * each takes its block fresh from the system and gives it back). A second
 * pass over the same block shows what touching memory already given costs,
 * for comparison. Run by bench/bench.sh.
 *
 *   cc -O2 -o fresh_memory bench/fresh_memory.c && ./fresh_memory [runs] */
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

static double now(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec + t.tv_nsec / 1e9;
}

static int by_value(const void *a, const void *b) {
    const double x = *(const double *)a, y = *(const double *)b;
    return (x > y) - (x < y);
}

int main(int argc, char **argv) {
    const size_t mib = 256, size = mib << 20;
    const long page = sysconf(_SC_PAGESIZE);
    int runs = argc > 1 ? atoi(argv[1]) : 5;
    if (runs < 1) runs = 1;
    double fresh[64], again[64];
    if (runs > 64) runs = 64;
    for (int r = 0; r < runs; ++r) {
        volatile char *block = malloc(size);
        if (block == NULL) {
            fprintf(stderr, "fresh_memory: no 256 MiB to take\n");
            return 1;
        }
        double start = now();
        for (size_t i = 0; i < size; i += (size_t)page) block[i] = 1;
        fresh[r] = now() - start;
        start = now();
        for (size_t i = 0; i < size; i += (size_t)page) block[i] = 2;
        again[r] = now() - start;
        free((void *)block);
    }
    qsort(fresh, (size_t)runs, sizeof *fresh, by_value);
    qsort(again, (size_t)runs, sizeof *again, by_value);
    const double f = fresh[runs / 2], a = again[runs / 2];
    printf("fresh memory: %.2f ms per MiB (256 MiB first touched in %.3f s, %.3f to %.3f; touched again %.3f s), "
           "median of %d\n", f * 1e3 / mib, f, fresh[0], fresh[runs - 1], a, runs);
    return 0;
}
