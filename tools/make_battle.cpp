// make_battle: writes a valid Kelvaroth battle file with two generated
// heightmaps, for tests, the shipped example and benchmarks. It has its own
// simple block encoder (base = lowest height of the 8x8 block, pattern byte =
// (height - base) / 128, capped at 255; identical patterns stored once), so
// nothing made with it depends on hmap's import.
//
//   make_battle --width W --height H [options] -o OUT.prj
//
//   --width W, --height H  heightmap size, 1 to 65535 (any size, not only
//                          multiples of 8)
//   --terrain KIND         flat       every height 0
//                          realistic  fractal noise: smooth slopes, ridges and
//                                     valleys (the default)
//                          rough      random base heights over the whole
//                                     32-bit range and random pattern bytes
//                          negative   realistic terrain reaching below height
//                                     0, so the sea level is not 0
//                          shared     heightmap 2 is heightmap 1 raised by
//                                     1000: both use the same patterns
//   --seed N               seed of the noise and of the opaque bytes (default 1)
//   --lead S1,S2,S3,N3,S4  size words of the four leading chunks and the count
//                          word of chunk 3 (default 24,16,8,2,12); S3 >= 4
//   --trailing N           bytes after the "ATTR" tag (default 32)
//   --samples PREFIX       also writes PREFIX1.raw and PREFIX2.raw: the
//                          big-endian 16-bit samples (row-major, no filter
//                          bytes) an export must give, base + 128 x pattern +
//                          sea level, modulo 65536
//   -o OUT                 the battle file to write
//   --help                 this text
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

const char usage[] =
    "make_battle --width W --height H [options] -o OUT.prj\n"
    "  --terrain KIND           flat: every height 0\n"
    "                           realistic: fractal hills, ridges and valleys (default)\n"
    "                           rough: random bases over 32 bits, random pattern bytes\n"
    "                           negative: realistic terrain below height 0 too (sea level > 0)\n"
    "                           shared: heightmap 2 = heightmap 1 + 1000, same patterns\n"
    "  --seed N                 noise and filler seed (default 1)\n"
    "  --lead S1,S2,S3,N3,S4    leading chunk size words (default 24,16,8,2,12; S3 >= 4)\n"
    "  --trailing N             bytes after the ATTR tag (default 32)\n"
    "  --samples PREFIX         write PREFIX1.raw, PREFIX2.raw: the samples an export gives\n"
    "                           (big-endian 16-bit, row-major)\n"
    "  -o OUT                   the battle file to write\n";

enum class Terrain { flat, realistic, rough, negative, shared };

struct Options {
    uint32_t width = 0;
    uint32_t height = 0;
    Terrain terrain = Terrain::realistic;
    uint64_t seed = 1;
    uint32_t lead[5] = {24, 16, 8, 2, 12};
    uint32_t trailing = 32;
    std::string samples;
    std::string out;
};

[[noreturn]] void fail(const char* what, const char* arg = "") {
    fprintf(stderr, "make_battle: %s%s\n%s", what, arg, usage);
    exit(2);
}

uint64_t parse_number(const char* text, uint64_t max) {
    char* end = nullptr;
    errno = 0;
    unsigned long long v = strtoull(text, &end, 0);
    if (errno != 0 || end == text || *end != 0 || v > max || text[0] == '-') fail("bad number: ", text);
    return v;
}

Options parse(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            fputs(usage, stdout);
            exit(0);
        }
        if (i + 1 >= argc) fail("missing value after ", argv[i]);
        const char* v = argv[++i];
        if (a == "--width") {
            o.width = static_cast<uint32_t>(parse_number(v, 65535));
        } else if (a == "--height") {
            o.height = static_cast<uint32_t>(parse_number(v, 65535));
        } else if (a == "--terrain") {
            std::string t = v;
            if (t == "flat") o.terrain = Terrain::flat;
            else if (t == "realistic") o.terrain = Terrain::realistic;
            else if (t == "rough") o.terrain = Terrain::rough;
            else if (t == "negative") o.terrain = Terrain::negative;
            else if (t == "shared") o.terrain = Terrain::shared;
            else fail("unknown terrain: ", v);
        } else if (a == "--seed") {
            o.seed = parse_number(v, UINT64_MAX);
        } else if (a == "--lead") {
            std::string list = v;
            size_t pos = 0;
            for (int k = 0; k < 5; ++k) {
                size_t comma = list.find(',', pos);
                if ((comma == std::string::npos) != (k == 4)) fail("--lead takes five numbers: ", v);
                std::string item = list.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
                o.lead[k] = static_cast<uint32_t>(parse_number(item.c_str(), UINT32_MAX));
                pos = comma + 1;
            }
            if (o.lead[2] < 4) fail("S3 must be at least 4 (it holds the count word): ", v);
        } else if (a == "--trailing") {
            o.trailing = static_cast<uint32_t>(parse_number(v, 1u << 30));
        } else if (a == "--samples") {
            o.samples = v;
        } else if (a == "-o") {
            o.out = v;
        } else {
            fail("unknown option: ", argv[i - 1]);
        }
    }
    if (o.width == 0 || o.height == 0) fail("--width and --height (1 to 65535) are required");
    if (o.out.empty()) fail("-o OUT is required");
    return o;
}

// --- noise ---------------------------------------------------------------

uint64_t mix(uint64_t z) {
    z += 0x9E3779B97F4A7C15ull;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

double lattice(int64_t ix, int64_t iy, uint64_t seed) {
    uint64_t h = mix(seed ^ mix(static_cast<uint64_t>(ix) * 0x100000001B3ull ^ mix(static_cast<uint64_t>(iy))));
    return static_cast<double>(h >> 11) * (1.0 / 9007199254740992.0);
}

// Smooth value noise in [0, 1).
double value_noise(double x, double y, uint64_t seed) {
    double fx = std::floor(x), fy = std::floor(y);
    int64_t ix = static_cast<int64_t>(fx), iy = static_cast<int64_t>(fy);
    double tx = x - fx, ty = y - fy;
    tx = tx * tx * tx * (tx * (tx * 6 - 15) + 10);
    ty = ty * ty * ty * (ty * (ty * 6 - 15) + 10);
    double a = lattice(ix, iy, seed), b = lattice(ix + 1, iy, seed);
    double c = lattice(ix, iy + 1, seed), d = lattice(ix + 1, iy + 1, seed);
    double top = a + (b - a) * tx, bottom = c + (d - c) * tx;
    return top + (bottom - top) * ty;
}

// Rolling hills (fractal noise) with sharp ridges and valleys carved in by
// the absolute value of a second noise; result roughly in [0, 1].
struct Landscape {
    double wavelength;
    int octaves;
    uint64_t seed;

    Landscape(uint32_t width, uint32_t height, uint64_t s) : seed(s) {
        // Hills of a few hundred pixels at most, so large maps get more of them.
        wavelength = std::min(std::max(width, height) / 2.0, 512.0);
        if (wavelength < 16) wavelength = 16;
        octaves = 1;
        for (double w = wavelength; w > 4 && octaves < 9; w /= 2) ++octaves;
    }

    double at(double x, double y) const {
        // Each octave is turned by about 37 degrees so that the lattice's
        // rows and columns do not show.
        constexpr double c = 0.8, s = 0.6;
        double sum = 0, amp = 0.5, norm = 0, f = 1 / wavelength;
        double u = x, v = y;
        for (int o = 0; o < octaves; ++o, amp *= 0.55, f *= 2) {
            sum += amp * value_noise(u * f, v * f, seed + o);
            norm += amp;
            double t = c * u - s * v;
            v = s * u + c * v;
            u = t;
        }
        double hills = sum / norm;
        double r = 0, ramp = 0.5, rnorm = 0, rf = 2 / wavelength;
        u = y;
        v = x;
        for (int o = 0; o < 4 && o < octaves; ++o, ramp *= 0.5, rf *= 2) {
            double n = value_noise(u * rf, v * rf, seed + 100 + o);
            double t = c * u + s * v;
            v = c * v - s * u;
            u = t;
            double ridge = 1 - std::fabs(2 * n - 1);
            r += ramp * ridge * ridge;
            rnorm += ramp;
        }
        return 0.65 * hills + 0.35 * (r / rnorm);
    }
};

// --- encoding --------------------------------------------------------------

// Patterns, each stored once, found again by an open-addressing hash table.
struct PatternPool {
    std::vector<uint8_t> bytes;
    std::vector<uint32_t> slots;  // pattern index + 1, 0 = empty
    size_t count = 0;

    static uint64_t hash(const uint8_t* p) {
        uint64_t h = 0;
        for (int i = 0; i < 8; ++i) {
            uint64_t w;
            memcpy(&w, p + 8 * i, 8);
            h = mix(h ^ w);
        }
        return h;
    }

    void grow() {
        std::vector<uint32_t> old = std::move(slots);
        slots.assign(old.empty() ? 1024 : old.size() * 2, 0);
        for (uint32_t s : old)
            if (s != 0) place(s - 1);
    }

    void place(uint32_t index) {
        size_t mask = slots.size() - 1;
        for (size_t i = hash(&bytes[size_t{index} * 64]) & mask;; i = (i + 1) & mask) {
            if (slots[i] == 0) {
                slots[i] = index + 1;
                return;
            }
        }
    }

    // Byte offset of the pattern in the pool.
    uint32_t add(const uint8_t* p) {
        if ((count + 1) * 2 > slots.size()) grow();
        size_t mask = slots.size() - 1;
        for (size_t i = hash(p) & mask;; i = (i + 1) & mask) {
            uint32_t s = slots[i];
            if (s == 0) break;
            if (memcmp(&bytes[size_t{s - 1} * 64], p, 64) == 0) return (s - 1) * 64;
        }
        if (count >= (1u << 26)) fail("too many distinct patterns for the layer-2 size word");
        uint32_t index = static_cast<uint32_t>(count++);
        bytes.insert(bytes.end(), p, p + 64);
        place(index);
        return index * 64;
    }
};

struct Heightmaps {
    uint32_t width, height, blocks_x, blocks_y;
    uint64_t nb;
    std::vector<int32_t> base;      // 2 x NB
    std::vector<uint32_t> offset;   // 2 x NB
    PatternPool pool;
};

void encode(const Options& o, Heightmaps* hm) {
    hm->width = o.width;
    hm->height = o.height;
    hm->blocks_x = (o.width + 7) / 8;
    hm->blocks_y = (o.height + 7) / 8;
    hm->nb = uint64_t{hm->blocks_x} * hm->blocks_y;
    hm->base.resize(2 * hm->nb);
    hm->offset.resize(2 * hm->nb);

    uint64_t rng = mix(o.seed ^ 0x5EEDull);
    for (int map = 0; map < 2; ++map) {
        Landscape land(o.width, o.height, mix(o.seed) + (o.terrain == Terrain::shared ? 0 : map * 7919));
        for (uint32_t by = 0; by < hm->blocks_y; ++by) {
            for (uint32_t bx = 0; bx < hm->blocks_x; ++bx) {
                uint64_t e = map * hm->nb + uint64_t{by} * hm->blocks_x + bx;
                uint8_t pattern[64] = {};
                int32_t base = 0;
                if (o.terrain == Terrain::rough) {
                    rng = mix(rng);
                    base = static_cast<int32_t>(static_cast<uint32_t>(rng));
                    for (int i = 0; i < 64; i += 8) {
                        rng = mix(rng);
                        memcpy(pattern + i, &rng, 8);
                    }
                } else if (o.terrain != Terrain::flat) {
                    int64_t h[64];
                    int64_t lowest = INT64_MAX;
                    for (int i = 0; i < 64; ++i) {
                        uint32_t x = bx * 8 + i % 8, y = by * 8 + i / 8;
                        if (x >= o.width || y >= o.height) {
                            h[i] = INT64_MIN;  // outside the image: pattern byte 0
                            continue;
                        }
                        double v = land.at(x, y);
                        int64_t height = std::llround(v * 24000.0);
                        if (o.terrain == Terrain::negative) height -= 6000;
                        if (o.terrain == Terrain::shared && map == 1) height += 1000;
                        h[i] = height;
                        if (height < lowest) lowest = height;
                    }
                    base = static_cast<int32_t>(lowest);
                    for (int i = 0; i < 64; ++i) {
                        if (h[i] == INT64_MIN) continue;
                        int64_t p = (h[i] - lowest) / 128;
                        pattern[i] = static_cast<uint8_t>(p > 255 ? 255 : p);
                    }
                }
                hm->base[e] = base;
                hm->offset[e] = hm->pool.add(pattern);
            }
        }
    }
}

uint16_t sea_level_of(const Heightmaps& hm) {
    int64_t lowest = 0;
    for (int32_t b : hm.base)
        if (b < lowest) lowest = b;
    return static_cast<uint16_t>(static_cast<uint64_t>(-lowest));
}

// --- output ------------------------------------------------------------------

void put32(std::vector<uint8_t>& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

void put_tag(std::vector<uint8_t>& out, const char* tag) { out.insert(out.end(), tag, tag + 4); }

void put_filler(std::vector<uint8_t>& out, uint64_t count, uint64_t* rng) {
    for (uint64_t i = 0; i < count; ++i) {
        *rng = mix(*rng);
        out.push_back(static_cast<uint8_t>(*rng));
    }
}

void write_file(const std::string& path, const uint8_t* data, size_t size) {
    FILE* f = fopen(path.c_str(), "wb");
    if (f == nullptr || fwrite(data, 1, size, f) != size || fclose(f) != 0) {
        fprintf(stderr, "make_battle: cannot write %s\n", path.c_str());
        exit(1);
    }
}

std::vector<uint8_t> battle_file(const Options& o, const Heightmaps& hm) {
    std::vector<uint8_t> out;
    const uint64_t l1 = hm.nb * 16;
    const uint64_t l2 = hm.pool.bytes.size();
    if (l2 > UINT32_MAX) fail("too many distinct patterns for the layer-2 size word");
    out.reserve(static_cast<size_t>(200 + uint64_t{o.lead[0]} + o.lead[1] + o.lead[2] + 4ull * o.lead[3] + o.lead[4] +
                                    l1 + l2 + o.trailing));
    uint64_t rng = mix(o.seed ^ 0xF111E5ull);
    const char signature[] = "Kelvaroth Battle file 1.10      ";
    out.insert(out.end(), signature, signature + 32);
    put_tag(out, "TER1");
    put32(out, o.lead[0]);
    put_filler(out, o.lead[0], &rng);
    put_tag(out, "TER2");
    put32(out, o.lead[1]);
    put_filler(out, o.lead[1], &rng);
    put_tag(out, "OBJS");
    put32(out, o.lead[2]);
    put32(out, o.lead[3]);  // the count word opens chunk 3's data
    put_filler(out, uint64_t{o.lead[2]} - 4 + 4ull * o.lead[3], &rng);
    put_tag(out, "TEXT");
    put32(out, o.lead[4]);
    put_filler(out, o.lead[4], &rng);
    put_filler(out, 8, &rng);

    put_tag(out, "HMAP");
    put32(out, static_cast<uint32_t>(l1 / 2 + l2 + 24));  // as the game writes it: half the table
    put32(out, hm.width);
    put32(out, hm.height);
    put32(out, static_cast<uint32_t>(l2 / 64));
    put32(out, static_cast<uint32_t>(hm.nb));
    put32(out, static_cast<uint32_t>(l1));
    for (uint64_t e = 0; e < 2 * hm.nb; ++e) {
        put32(out, static_cast<uint32_t>(hm.base[e]));
        put32(out, hm.offset[e]);
    }
    put32(out, static_cast<uint32_t>(l2));
    out.insert(out.end(), hm.pool.bytes.begin(), hm.pool.bytes.end());

    put_tag(out, "ATTR");
    if (o.trailing >= 4) {
        put32(out, o.trailing - 4);
        put_filler(out, o.trailing - 4, &rng);
    } else {
        put_filler(out, o.trailing, &rng);
    }
    return out;
}

void write_samples(const std::string& path, const Heightmaps& hm, int map, uint16_t sea_level) {
    FILE* f = fopen(path.c_str(), "wb");
    if (f == nullptr) {
        fprintf(stderr, "make_battle: cannot write %s\n", path.c_str());
        exit(1);
    }
    std::vector<uint8_t> row(2 * size_t{hm.width});
    for (uint32_t y = 0; y < hm.height; ++y) {
        for (uint32_t x = 0; x < hm.width; ++x) {
            uint64_t e = map * hm.nb + uint64_t{y / 8} * hm.blocks_x + x / 8;
            uint8_t p = hm.pool.bytes[hm.offset[e] + (y % 8) * 8 + x % 8];
            uint16_t v = static_cast<uint16_t>(p * 128u + static_cast<uint32_t>(hm.base[e]) + sea_level);
            row[2 * x] = static_cast<uint8_t>(v >> 8);
            row[2 * x + 1] = static_cast<uint8_t>(v);
        }
        if (fwrite(row.data(), 1, row.size(), f) != row.size()) {
            fprintf(stderr, "make_battle: cannot write %s\n", path.c_str());
            exit(1);
        }
    }
    if (fclose(f) != 0) {
        fprintf(stderr, "make_battle: cannot write %s\n", path.c_str());
        exit(1);
    }
}

}  // namespace

int main(int argc, char** argv) {
    Options o = parse(argc, argv);
    Heightmaps hm;
    encode(o, &hm);
    std::vector<uint8_t> file = battle_file(o, hm);
    write_file(o.out, file.data(), file.size());
    uint16_t sea = sea_level_of(hm);
    if (!o.samples.empty()) {
        write_samples(o.samples + "1.raw", hm, 0, sea);
        write_samples(o.samples + "2.raw", hm, 1, sea);
    }
    printf("%s: %ux%u, %llu blocks per heightmap, %zu patterns, sea level %u, %zu bytes\n", o.out.c_str(),
           o.width, o.height, static_cast<unsigned long long>(hm.nb), hm.pool.count, sea, file.size());
    return 0;
}
