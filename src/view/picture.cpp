// The picture command: a heightmap drawn as terrain in an 8-bit RGB PNG,
// colours by height keyed to the sea level (blues below height 0, greens,
// browns and greys above) under hill shading with the light from the
// north-west. The colours depend on the height range only through a scale
// of powers of two, so pictures of one map before and after an edit use the
// same colours unless the edit takes the map past a power of two.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>

#include "picture_ring.h"
#include "view.h"
#include "view_common.h"

namespace {

// Colours by height: stops at fractions of the scale's top (land) or bottom
// (water), in steps of 1/1024 between them.
struct ColourStop {
    int at;  // in 1024ths of the scale
    uint8_t r, g, b;
};
constexpr ColourStop land_stops[] = {
    {0, 68, 128, 72},      {80, 96, 150, 80},     {200, 150, 182, 102}, {360, 206, 190, 128},
    {520, 178, 134, 82},   {680, 140, 102, 74},   {820, 150, 142, 136}, {930, 208, 208, 208},
    {1024, 250, 250, 250},
};
constexpr ColourStop water_stops[] = {
    {0, 150, 200, 228},
    {300, 70, 140, 200},
    {1024, 12, 32, 92},
};
constexpr int ramp_steps = 1024;
// The smallest scale, so that a low or flat map is not stretched over the whole ramp.
constexpr int64_t least_scale = 4096;

template <size_t N>
void fill_ramp(uint16_t (*ramp)[3], const ColourStop (&stops)[N]) {
    size_t k = 0;
    for (int i = 0; i <= ramp_steps; ++i) {
        while (k + 2 < N && i > stops[k + 1].at) ++k;
        const ColourStop& a = stops[k];
        const ColourStop& b = stops[k + 1];
        const int span = b.at - a.at, t = i - a.at;
        const int from[3] = {a.r, a.g, a.b}, to[3] = {b.r, b.g, b.b};
        for (int c = 0; c < 3; ++c) {
            ramp[i][c] = static_cast<uint16_t>((from[c] * (span - t) + to[c] * t + span / 2) / span);
        }
    }
}

// The heights the colours span: 0 up to `top` for land, `depth` down from 0
// for water, each a power of two, at least least_scale.
struct ColourScale {
    int land_shift;   // a land height >> land_shift is its step on the ramp
    int water_shift;  // the same for a depth below 0
    int64_t top, depth;
};

ColourScale colour_scale(int64_t lowest, int64_t highest) {
    ColourScale scale{0, 0, least_scale, least_scale};
    while (scale.top < highest) scale.top *= 2;
    while (scale.depth < -lowest) scale.depth *= 2;
    while ((int64_t{ramp_steps} << scale.land_shift) < scale.top) ++scale.land_shift;
    while ((int64_t{ramp_steps} << scale.water_shift) < scale.depth) ++scale.water_shift;
    return scale;
}

// Hill shading: one pixel is this many height units across. With it the
// slopes of rolling terrain show, and cliffs of a few 128-steps a pixel
// stand out without going black.
constexpr float pixel_span = 48.0f;
// Ground facing away from the light keeps this much of its colour; flat
// ground keeps all of it, and ground facing the light gets brighter.
constexpr float ambient = 0.4f;

// Heights past this far from 0 are drawn as this one: beyond any colour
// scale of a real map, and small enough that the gradient's sums of twelve
// heights stay in 32 bits, which vector code works on eight at a time.
constexpr int64_t farthest_height = int64_t{1} << 27;
inline int32_t clamp_height(int64_t h) {
    return static_cast<int32_t>(h < -farthest_height ? -farthest_height : h > farthest_height ? farthest_height : h);
}

// Shades in 64ths: 64 keeps a colour as it is, and the brightest, ground
// facing the light, is 80. Steps of 1/64 are too fine to see as bands, and
// few enough that every colour under every shade fits one table.
constexpr int shade_unit = 64;
constexpr int shade_levels = 81;

// The shade of one pixel from its gradient, the height differences across
// its neighbourhood in units of 8 x pixel_span a pixel.
inline uint16_t shade_of(int32_t across, int32_t down) {
    constexpr float sin45 = 0.70710678f;
    constexpr float scale = 1.0f / (8.0f * pixel_span);
    const float gx = static_cast<float>(across) * scale;
    const float gy = static_cast<float>(down) * scale;
    // The surface normal (-gx, -gy, 1) against the light (-1/2, -1/2, sin 45).
    const float lit = (0.5f * (gx + gy) + sin45) / std::sqrt(1.0f + gx * gx + gy * gy);
    const float light = std::max(lit, 0.0f) / sin45;
    return static_cast<uint16_t>(static_cast<int32_t>(shade_unit * (ambient + (1.0f - ambient) * light) + 0.5f));
}

// The shades of row y, from the gradient over each pixel's 3x3
// neighbourhood (Horn's method; rows and columns past the edges repeat the
// edge). `sums` has room for 2 x width + 4 values.
void shade_row(const int32_t* above, const int32_t* row, const int32_t* below, uint32_t width, int32_t* sums,
               uint16_t* shade) {
    // Column sums weighted 1 2 1 down the three rows, and the differences
    // from the row above to the row below, each with the edge column
    // repeated on both sides: the sums of column x are at x + 1.
    int32_t* across = sums;
    int32_t* down = sums + width + 2;
    for (uint32_t x = 0; x < width; ++x) {
        across[x + 1] = above[x] + 2 * row[x] + below[x];
        down[x + 1] = below[x] - above[x];
    }
    across[0] = across[1], across[width + 1] = across[width];
    down[0] = down[1], down[width + 1] = down[width];
    // One loop from the sums to the shades: it writes no int32_t, so the
    // compiler knows the sums stay as they are and makes vector code of it.
    for (uint32_t x = 0; x < width; ++x) {
        shade[x] = shade_of(across[x + 2] - across[x], down[x] + 2 * down[x + 1] + down[x + 2]);
    }
}

struct Palette {
    // Water from the shore (0) down to the scale's depth (1024), then land
    // from the shore (1025) up to the scale's top (2049).
    uint16_t rgb[2 * (ramp_steps + 1)][3];
    ColourScale scale;
    // Every entry's colour under every shade, its bytes red, green, blue and
    // 0 from the lowest: entry e under shade s is at e x shade_levels + s.
    uint32_t* shaded;
};
constexpr uint64_t palette_entries = 2 * (ramp_steps + 1);

bool fill_palette(Palette* palette, int64_t lowest, int64_t highest) {
    fill_ramp(palette->rgb, water_stops);
    fill_ramp(palette->rgb + ramp_steps + 1, land_stops);
    palette->scale = colour_scale(lowest, highest);
    palette->shaded = reinterpret_cast<uint32_t*>(allocate_buffer(4 * palette_entries * shade_levels));
    if (palette->shaded == nullptr) return false;
    for (uint64_t e = 0; e < palette_entries; ++e) {
        for (uint32_t s = 0; s < shade_levels; ++s) {
            uint32_t packed = 0;
            for (int c = 0; c < 3; ++c) {
                const uint32_t v = (uint32_t{palette->rgb[e][c]} * s + shade_unit / 2) / shade_unit;
                packed |= (v > 255 ? 255 : v) << (8 * c);
            }
            palette->shaded[e * shade_levels + s] = packed;
        }
    }
    return true;
}

// The palette entry of each height of a row, then its colour under its
// shade. `out` has a byte to spare after the row's 3 x width.
void colour_row(const Palette& palette, const int32_t* heights, const uint16_t* shade, uint32_t width,
                int32_t* entries, uint8_t* out) {
    const int32_t top = static_cast<int32_t>(palette.scale.top), depth = static_cast<int32_t>(palette.scale.depth);
    const int land_shift = palette.scale.land_shift, water_shift = palette.scale.water_shift;
    for (uint32_t x = 0; x < width; ++x) {
        const int32_t h = heights[x];
        const int32_t land = ramp_steps + 1 + ((h < top ? h : top) >> land_shift);
        const int32_t water = (-h < depth ? -h : depth) >> water_shift;
        entries[x] = (h >= 0 ? land : water) * shade_levels + shade[x];
    }
    // Four bytes a pixel, the fourth overwritten by the next pixel.
    const uint32_t* shaded = palette.shaded;
    for (uint32_t x = 0; x < width; ++x) memcpy(out + 3 * x, shaded + entries[x], 4);
}

}  // namespace

// Draws rows of a picture, each from the heights of its own row and of the
// rows above and below it, kept from one row to the next.
struct Painter {
    const HeightSource* source;
    const Palette* palette;
    uint32_t width, height;
    int64_t* heights;  // one row as the file gives it
    int32_t* rows;     // three rows of heights, the gradient's sums, the pixels' places in the palette
    uint16_t* shade;
};

namespace {

bool open_painter(Painter* painter, uint32_t width) {
    *painter = Painter{};
    painter->heights = reinterpret_cast<int64_t*>(allocate_buffer(8 * uint64_t{width}));
    painter->rows = reinterpret_cast<int32_t*>(allocate_buffer(4 * (6 * uint64_t{width} + 4)));
    painter->shade = reinterpret_cast<uint16_t*>(allocate_buffer(2 * uint64_t{width}));
    return painter->heights != nullptr && painter->rows != nullptr && painter->shade != nullptr;
}

void close_painter(Painter* painter) {
    release_buffer(painter->heights);
    release_buffer(painter->rows);
    release_buffer(painter->shade);
    *painter = Painter{};
}

void read_row(const Painter& painter, uint32_t y, int32_t* out) {
    const uint32_t width = painter.width;
    const int64_t* heights = painter.heights;
    source_row(*painter.source, y, painter.heights);
    for (uint32_t x = 0; x < width; ++x) out[x] = clamp_height(heights[x]);
}

// Draws row y at `out`: its filter byte, 3 x width colour bytes and a byte
// to spare. `first` when the row before is not the one this painter drew last.
void paint_row(Painter* painter, uint32_t y, bool first, uint8_t* out) {
    const uint32_t width = painter->width, height = painter->height;
    int32_t* ring[3] = {painter->rows, painter->rows + width, painter->rows + 2 * width};
    int32_t* sums = painter->rows + 3 * width;         // 2 x width + 4
    int32_t* entries = painter->rows + 5 * width + 4;  // width
    // ring[y % 3] holds row y once read; rows past the edges repeat the edge.
    if (first) {
        if (y > 0) read_row(*painter, y - 1, ring[(y - 1) % 3]);
        read_row(*painter, y, ring[y % 3]);
    }
    if (y + 1 < height) read_row(*painter, y + 1, ring[(y + 1) % 3]);
    const int32_t* row = ring[y % 3];
    const int32_t* above = y > 0 ? ring[(y - 1) % 3] : row;
    const int32_t* below = y + 1 < height ? ring[(y + 1) % 3] : row;
    shade_row(above, row, below, width, sums, painter->shade);
    out[0] = 0;  // filter type None: the picture is stored, not compressed
    colour_row(*painter->palette, row, painter->shade, width, entries, out + 1);
}

// The rows of a picture are drawn in strips of strip_rows into a ring of
// slots, each strip by whichever thread takes it first: a second thread draws
// strips ahead all the time, and the writer, which takes the rows out in
// order, draws one itself whenever the row it needs is not drawn yet. So
// both cores draw, and writing goes on meanwhile.
constexpr uint32_t strip_rows = 16;
// The slots hold about this much.
constexpr uint64_t ring_bytes = uint64_t{4} << 20;

uint8_t* ring_row(const RowRing& ring, uint32_t y) {
    return ring.rows + ((y / strip_rows) % ring.slots * strip_rows + y % strip_rows) * ring.slot_bytes;
}

// Gives the caller the next strip to draw, unless every strip is given, the
// writer has stopped, or the next one's slot still holds a strip the writer
// has not taken.
bool claim_strip(RowRing* ring, uint32_t* strip) {
    uint32_t next = ring->claimed.load(std::memory_order_acquire);
    for (;;) {
        if (next >= ring->strips || ring->stopped.load(std::memory_order_acquire) ||
            next >= ring->taken.load(std::memory_order_acquire) + ring->slots)
            return false;
        if (ring->claimed.compare_exchange_weak(next, next + 1, std::memory_order_acq_rel)) {
            *strip = next;
            return true;
        }
    }
}

void draw_strip(RowRing* ring, Painter* painter, uint32_t strip) {
    const uint32_t first = strip * strip_rows;
    const uint32_t end = ring->height - first < strip_rows ? ring->height : first + strip_rows;
    for (uint32_t y = first; y < end; ++y) paint_row(painter, y, y == first, ring_row(*ring, y));
    std::atomic<uint32_t>& drawn = ring->drawn[strip % ring->slots];
    drawn.store(strip + 1, std::memory_order_release);
    if (ring->gate != nullptr) wake_waiters(ring->gate);
}

void take_drawn_row(void* context, uint32_t y, uint8_t* out) {
    auto* ring = static_cast<RowRing*>(context);
    const uint32_t strip = y / strip_rows;
    if (y % strip_rows == 0 && strip > 0) {
        ring->taken.store(strip, std::memory_order_release);  // the strip before is copied out
        if (ring->gate != nullptr) wake_waiters(ring->gate);
    }
    std::atomic<uint32_t>& drawn = ring->drawn[strip % ring->slots];
    for (;;) {
        const uint32_t last = drawn.load(std::memory_order_acquire);
        if (last == strip + 1) break;
        uint32_t other;
        if (claim_strip(ring, &other)) {
            draw_strip(ring, ring->painters[0], other);
        } else {
            wait_for_change(ring->gate, &drawn, last);
        }
    }
    memcpy(out, ring_row(*ring, y), static_cast<size_t>(ring->row_bytes));
}

}  // namespace

void draw_ahead(void* context) {
    auto* ring = static_cast<RowRing*>(context);
    while (!ring->stopped.load(std::memory_order_acquire)) {
        uint32_t strip;
        if (claim_strip(ring, &strip)) {
            draw_strip(ring, ring->painters[1], strip);
            continue;
        }
        if (ring->before_look != nullptr) ring->before_look(ring);
        // Waits for the writer to free a slot. A stop shows in `taken` too
        // (every strip taken), and the wait is for a change of the very
        // value looked at, so a stop that comes between the look and the
        // wait still ends it.
        const uint32_t taken = ring->taken.load(std::memory_order_acquire);
        const uint32_t claimed = ring->claimed.load(std::memory_order_acquire);
        if (taken >= ring->strips || claimed >= ring->strips) return;
        if (claimed >= taken + ring->slots) {
            if (ring->wait != nullptr) {
                ring->wait(ring, &ring->taken, taken);
            } else {
                wait_for_change(ring->gate, &ring->taken, taken);
            }
        }
    }
}

void stop_drawing(RowRing* ring) {
    ring->stopped.store(true, std::memory_order_release);
    ring->taken.store(ring->strips, std::memory_order_release);
    wake_waiters(ring->gate);
}

namespace {

// Working memory for writing one picture after another of the same size.
struct Canvas {
    Painter painters[2];
    uint64_t row_bytes;
    uint8_t* part;  // the writer's part buffer and its scratch row
    uint8_t* ring;  // the strips drawn ahead
    uint64_t slot_bytes;
    uint32_t slots;
};

bool open_canvas(Canvas* canvas, uint32_t width) {
    canvas->row_bytes = 1 + 3 * uint64_t{width};
    // A row and the byte colour_row spares, in whole cache lines, so that
    // no two threads write to one line.
    canvas->slot_bytes = (canvas->row_bytes + 1 + 63) / 64 * 64;
    const uint64_t slots = ring_bytes / (strip_rows * canvas->slot_bytes);
    canvas->slots = slots < 2 ? 2 : slots > most_slots ? most_slots : static_cast<uint32_t>(slots);
    canvas->part = allocate_buffer(png_part_bytes + canvas->row_bytes);
    canvas->ring = allocate_buffer(uint64_t{canvas->slots} * strip_rows * canvas->slot_bytes);
    const bool first = open_painter(&canvas->painters[0], width);
    const bool second = open_painter(&canvas->painters[1], width);
    return canvas->part != nullptr && canvas->ring != nullptr && first && second;
}

void close_canvas(Canvas* canvas) {
    release_buffer(canvas->part);
    release_buffer(canvas->ring);
    close_painter(&canvas->painters[0]);
    close_painter(&canvas->painters[1]);
    *canvas = Canvas{};
}

// Draws the picture of `source` and writes it as an 8-bit RGB PNG of stored
// deflate blocks, laid out in advance as an export is. The rows are drawn
// on a second thread and on the first as it writes, or on the first alone
// when the system gives no second.
bool write_picture(const char* path, Canvas* canvas, const HeightSource& source, const Palette& palette,
                   const HeightFile& input) {
    for (Painter& painter : canvas->painters) {
        painter.source = &source;
        painter.palette = &palette;
        painter.width = source.width;
        painter.height = source.height;
    }
    const PngLayout layout = stored_png_layout(canvas->row_bytes, source.height, 0);
    StoredPngFrame frame{};
    write_be32(frame.ihdr, source.width);
    write_be32(frame.ihdr + 4, source.height);
    frame.ihdr[8] = 8;  // bit depth
    frame.ihdr[9] = 2;  // RGB; compression, filter and interlace methods 0
    FileWrite* file = begin_file_write(path, layout.file_bytes);
    if (file == nullptr) return false;
    RowRing ring;
    ring.painters[0] = &canvas->painters[0];
    ring.painters[1] = &canvas->painters[1];
    ring.rows = canvas->ring;
    ring.row_bytes = canvas->row_bytes;
    ring.slot_bytes = canvas->slot_bytes;
    ring.slots = canvas->slots;
    ring.height = source.height;
    ring.strips = (source.height + strip_rows - 1) / strip_rows;
    // Without a second thread the writer draws every strip itself, and
    // never waits.
    ring.gate = open_gate();
    Worker* helper = ring.gate != nullptr ? start_worker(draw_ahead, &ring) : nullptr;
    bool ok = stream_stored_png(layout, frame, take_drawn_row, &ring, canvas->part, png_part_bytes, write_png_part,
                                file);
    if (helper != nullptr) {
        // A write that failed part-way leaves the second thread waiting for room.
        stop_drawing(&ring);
        join_worker(helper);
    }
    close_gate(ring.gate);
    // Kept only when drawn from one version of the input.
    if (!ok || !height_file_unchanged(input)) {
        abandon_file_write(file);
        return false;
    }
    return finish_file_write(file);
}

// The lowest and highest height of a decoded image.
void image_range(const Grey16Image& image, int64_t* lowest, int64_t* highest) {
    uint32_t lo = 0, hi = 0;
    grey16_sample_range(image, &lo, &hi);
    *lowest = int64_t{lo} - image.sea_level;
    *highest = int64_t{hi} - image.sea_level;
}

}  // namespace

PictureColours picture_colours(int64_t lowest, int64_t highest) {
    static_assert(palette_entries == sizeof(PictureColours::rgb) / 3);
    PictureColours colours{};
    uint16_t ramp[palette_entries][3];
    fill_ramp(ramp, water_stops);
    fill_ramp(ramp + ramp_steps + 1, land_stops);
    for (uint64_t e = 0; e < palette_entries; ++e) {
        for (int c = 0; c < 3; ++c) colours.rgb[e][c] = static_cast<uint8_t>(ramp[e][c]);
    }
    const ColourScale scale = colour_scale(clamp_height(lowest), clamp_height(highest));
    colours.top = scale.top, colours.depth = scale.depth;
    colours.land_shift = scale.land_shift, colours.water_shift = scale.water_shift;
    colours.pixel_span = pixel_span;
    colours.ambient = ambient;
    return colours;
}

void report_colour_span(int64_t depth, int64_t top) {
    console_printf("Colours span heights %s to %s: water below 0, land above.\r\n", signed_number(-depth).text,
                   signed_number(top).text);
}

Status draw_pictures(const char* in, const char* out1, const char* out2) {
    // A picture written over the heightmap it shows would destroy it.
    bool clash1 = report_output_is_input(out1, in);
    bool clash2 = out2[0] != 0 && report_output_is_input(out2, in);
    if (clash1 || clash2) return status_refused;
    if (out2[0] != 0 && report_both_outputs(out1, out2)) return status_refused;
    InputFile input;
    if (!open_input(in, &input)) return report_file_failure(in);
    // A battle file makes two pictures, a heightmap PNG one.
    const bool png = input.kind == FileKind::png;
    const bool counted = png ? out2[0] == 0 : out2[0] != 0;
    if (!counted) {
        console_printf(png ? "Error: Too many args \r\n" : "Error: Too few args.\r\n");
        close_input(&input);
        return status_usage;
    }
    HeightFile file;
    const Status loaded = load_height_file(in, &input, &file);
    close_input(&input);
    if (loaded != status_ok) return loaded;

    HeightSource sources[2];
    int pictures = 1;
    int64_t lowest, highest;
    if (!file.is_png) {
        sources[0] = battle_source(file.battle, 0);
        sources[1] = battle_source(file.battle, 1);
        pictures = 2;
        const LayerHeights one = battle_layer_heights(file.battle, 0), two = battle_layer_heights(file.battle, 1);
        lowest = one.lowest < two.lowest ? one.lowest : two.lowest;
        highest = one.highest > two.highest ? one.highest : two.highest;
    } else {
        sources[0] = image_source(file.image);
        image_range(file.image, &lowest, &highest);
    }
    Palette palette;
    const bool painted = fill_palette(&palette, clamp_height(lowest), clamp_height(highest));
    report_colour_span(palette.scale.depth, palette.scale.top);

    const char* outs[2] = {out1, out2};
    Status status = status_ok;
    Canvas canvas{};
    if (!painted || !open_canvas(&canvas, sources[0].width)) {
        status = report_out_of_memory(out1);
    } else {
        // The second picture is made whatever became of the first, as the
        // export does.
        for (int i = 0; i < pictures; ++i) {
            if (!write_picture(outs[i], &canvas, sources[i], palette, file)) {
                const bool changed = last_error_code() == error_file_changed;
                Status failed = report_file_failure(changed ? in : outs[i]);
                if (status == status_ok) status = failed;
                if (changed) break;
            }
        }
    }
    close_canvas(&canvas);
    release_buffer(palette.shaded);
    release_height_file(&file);
    return status;
}
