// The page command: the heights of a battle file's heightmaps (or a PNG's),
// packed for the page's script, and the page written around them.
//
// Each heightmap goes in as differences: every height less the one above it
// (the first row less the lowest height), or, for the heights after an
// import, less the height before it at the same pixel. Each difference is
// zigzagged to an unsigned number (0, -1, 1, -2 ... become 0, 1, 2, 3 ...)
// and split into byte planes (all the low bytes, then all the next ones),
// and the planes are compressed as one zlib stream, written in base64.
// Smooth terrain changes little from one row to the next, so the high
// planes are nearly all 0 and the low one repeats itself: a realistic map
// takes about a quarter of a byte a pixel, where an exported PNG takes two,
// and an import changes few pixels, so its "after" costs next to nothing.
// The page inflates each heightmap with the browser's own DecompressionStream.
#include "page.h"

#include <cstdio>
#include <cstring>

#include "import.h"
#include "libdeflate.h"
#include "view.h"
#include "view_common.h"

bool names_a_page(const char* path) {
    const size_t length = strlen(path);
    if (length < 5) return false;
    const char* tail = path + length - 5;
    return tail[0] == '.' && (tail[1] | 0x20) == 'h' && (tail[2] | 0x20) == 't' && (tail[3] | 0x20) == 'm' &&
           (tail[4] | 0x20) == 'l';
}

namespace {

// libdeflate's level 6, its default. On a realistic 4096x4096 map level 9
// packs 5% smaller in six times as long, level 12 22% smaller in 35 times
// (a minute); level 1 takes half as long for 19% more.
constexpr int compression_level = 6;

// One heightmap the page shows.
struct PageLayer {
    HeightSource source;
    int heightmap;      // 1 or 2
    const char* stage;  // "" on a page of one file; "before" or "after" an import
    const char* from;   // the file its heights come from
    int reference;      // the layer its heights are told against pixel by pixel, or -1: against the row above
    int64_t lowest, highest;
    uint32_t planes;  // bytes of each zigzagged difference
    uint8_t* packed;  // the planes, zlib-compressed
    uint64_t packed_size;
};

PageLayer page_layer(const HeightSource& source, int heightmap, const char* stage, const char* from, int reference) {
    PageLayer layer{};
    layer.source = source;
    layer.heightmap = heightmap;
    layer.stage = stage;
    layer.from = from;
    layer.reference = reference;
    return layer;
}

void measure_layer(PageLayer* layer, int64_t* row) {
    int64_t lowest = INT64_MAX, highest = INT64_MIN;
    for (uint32_t y = 0; y < layer->source.height; ++y) {
        source_row(layer->source, y, row);
        for (uint32_t x = 0; x < layer->source.width; ++x) {
            lowest = row[x] < lowest ? row[x] : lowest;
            highest = row[x] > highest ? row[x] : highest;
        }
    }
    layer->lowest = lowest, layer->highest = highest;
}

// The bytes each difference takes: a difference lies within the heights'
// spread either way, so its zigzagged form is at most twice the spread.
uint32_t planes_for(const PageLayer& layer, const PageLayer* reference) {
    int64_t lowest = layer.lowest, highest = layer.highest;
    if (reference != nullptr) {
        lowest = reference->lowest < lowest ? reference->lowest : lowest;
        highest = reference->highest > highest ? reference->highest : highest;
    }
    const uint64_t most = 2 * static_cast<uint64_t>(highest - lowest);
    uint32_t planes = 1;
    while (planes < 8 && (most >> (8 * planes)) != 0) ++planes;
    return planes;
}

// Packs a measured layer. `rows` has room for three rows of its width.
bool pack_layer(PageLayer* layer, const PageLayer* reference, int64_t* rows, libdeflate_compressor* compressor) {
    const uint32_t width = layer->source.width, height = layer->source.height;
    const uint64_t pixels = uint64_t{width} * height;
    layer->planes = planes_for(*layer, reference);
    const uint64_t size = layer->planes * pixels;
    uint8_t* planes = allocate_buffer(size);
    if (planes == nullptr) return false;
    take_pages_for_writing(planes, size);
    int64_t* row = rows;
    int64_t* above = rows + width;
    auto* zigzag = reinterpret_cast<uint64_t*>(rows + 2 * uint64_t{width});
    for (uint32_t x = 0; x < width; ++x) above[x] = layer->lowest;
    for (uint32_t y = 0; y < height; ++y) {
        source_row(layer->source, y, row);
        if (reference != nullptr) source_row(reference->source, y, above);
        for (uint32_t x = 0; x < width; ++x) {
            const int64_t d = row[x] - above[x];
            zigzag[x] = d >= 0 ? 2 * static_cast<uint64_t>(d) : 2 * static_cast<uint64_t>(-(d + 1)) + 1;
        }
        for (uint32_t p = 0; p < layer->planes; ++p) {
            uint8_t* out = planes + p * pixels + uint64_t{y} * width;
            for (uint32_t x = 0; x < width; ++x) out[x] = static_cast<uint8_t>(zigzag[x] >> (8 * p));
        }
        if (reference == nullptr) {
            int64_t* done = row;
            row = above, above = done;
        }
    }
    const uint64_t bound = libdeflate_zlib_compress_bound(compressor, size);
    layer->packed = allocate_buffer(bound);
    if (layer->packed != nullptr) {
        layer->packed_size = libdeflate_zlib_compress(compressor, planes, size, layer->packed, bound);
    }
    release_buffer(planes);
    return layer->packed != nullptr && layer->packed_size != 0;
}

constexpr char base64_digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

uint64_t base64_size(uint64_t count) { return (count + 2) / 3 * 4; }

// Four characters for up to three bytes (`count` 1 to 3), padded with "=".
void base64_group(const uint8_t* bytes, uint64_t count, char* out) {
    const uint32_t v = (uint32_t{bytes[0]} << 16) | (count > 1 ? uint32_t{bytes[1]} << 8 : 0) |
                       (count > 2 ? uint32_t{bytes[2]} : 0);
    out[0] = base64_digits[v >> 18];
    out[1] = base64_digits[(v >> 12) & 63];
    out[2] = count > 1 ? base64_digits[(v >> 6) & 63] : '=';
    out[3] = count > 2 ? base64_digits[v & 63] : '=';
}

// The page's description of what it holds (JSON), built in a buffer of a
// size no real run comes near: four paths of 259 characters, each escaped
// into at most 6 bytes a byte, a dozen listing lines naming two of them.
constexpr uint64_t meta_capacity = uint64_t{1} << 20;

struct Text {
    char* data;
    uint64_t length;
    bool full;
};

void add(Text* text, const char* bytes, uint64_t count) {
    if (text->full || meta_capacity - text->length < count) {
        text->full = true;
        return;
    }
    memcpy(text->data + text->length, bytes, count);
    text->length += count;
}
void add(Text* text, const char* piece) { add(text, piece, strlen(piece)); }
void add(Text* text, int64_t value) { add(text, signed_number(value).text); }

void add_escape(Text* text, uint32_t code) {
    char escape[8];
    snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(code));
    add(text, escape);
}

// A JSON string that is also safe inside a <script> element (no "<"): other
// text of UTF-8 as it is, any byte that is no UTF-8 as U+FFFD, and a lone
// surrogate (which a Windows name may hold) escaped.
void add_string(Text* text, const char* s) {
    add(text, "\"");
    while (*s != 0) {
        const auto c = static_cast<uint8_t>(*s);
        if (c < 0x80) {
            if (c == '"' || c == '\\') {
                const char escaped[2] = {'\\', static_cast<char>(c)};
                add(text, escaped, 2);
            } else if (c < 0x20 || c == '<' || c == '>' || c == '&') {
                add_escape(text, c);
            } else {
                add(text, s, 1);
            }
            ++s;
            continue;
        }
        uint32_t code;
        const size_t length = utf8_sequence(s, &code);
        if (length == 0) {
            add_escape(text, 0xFFFD);
            ++s;
        } else if (code >= 0xD800 && code <= 0xDFFF) {
            add_escape(text, code);
            s += length;
        } else {
            add(text, s, length);
            s += length;
        }
    }
    add(text, "\"");
}

void add_base64(Text* text, const uint8_t* bytes, uint64_t count) {
    for (uint64_t i = 0; i < count; i += 3) {
        char group[4];
        base64_group(bytes + i, count - i < 3 ? count - i : 3, group);
        add(text, group, 4);
    }
}

// ,"name":value
void add_field(Text* text, const char* name, int64_t value) {
    add(text, ",\"");
    add(text, name);
    add(text, "\":");
    add(text, value);
}

void add_field(Text* text, const char* name, const char* value) {
    add(text, ",\"");
    add(text, name);
    add(text, "\":");
    add_string(text, value);
}

void add_colours(Text* text, const PictureColours& colours) {
    add(text, ",\"colours\":{\"ramp\":\"");
    add_base64(text, &colours.rgb[0][0], sizeof colours.rgb);
    add(text, "\"");
    add_field(text, "top", colours.top);
    add_field(text, "depth", colours.depth);
    add_field(text, "landShift", colours.land_shift);
    add_field(text, "waterShift", colours.water_shift);
    char number[32];
    snprintf(number, sizeof number, ",\"pixelSpan\":%g", static_cast<double>(colours.pixel_span));
    add(text, number);
    snprintf(number, sizeof number, ",\"ambient\":%g}", static_cast<double>(colours.ambient));
    add(text, number);
}

void add_layer(Text* text, const PageLayer& layer) {
    add(text, "{\"heightmap\":");
    add(text, int64_t{layer.heightmap});
    add_field(text, "stage", layer.stage);
    add_field(text, "from", layer.from);
    add_field(text, "width", layer.source.width);
    add_field(text, "height", layer.source.height);
    add_field(text, "lowest", layer.lowest);
    add_field(text, "highest", layer.highest);
    add_field(text, "planes", layer.planes);
    add_field(text, "reference", layer.reference);
    add(text, "}");
}

// The listing's lines, caught as a JSON array's strings.
struct Caught {
    Text* text;
    bool first;
};

void catch_line(void* context, const char* line, size_t) {
    auto* caught = static_cast<Caught*>(context);
    if (!caught->first) add(caught->text, ",");
    caught->first = false;
    add_string(caught->text, line);
}

// What `hmap -l in png1 png2` says of each heightmap against its image, and
// what the import's blocks do to the image.
void add_comparisons(Text* text, const char* in, const BattleFile& battle, const char* const* pngs,
                     const Grey16Image* images) {
    add(text, ",\"comparisons\":[");
    for (int i = 0; i < 2; ++i) {
        Caught caught{text, true};
        const LineSink sink{catch_line, &caught};
        add(text, i == 0 ? "[" : ",[");
        capture_lines(&sink);
        (Line() << in << " heightmap " << int64_t{i + 1} << " against " << pngs[i]).print();
        list_height_comparison(battle, i, pngs[i], images[i]);
        list_import_changes(images[i]);
        capture_lines(nullptr);
        add(text, "]");
    }
    add(text, "]");
}

// The page's bytes go out through a buffer of their own.
struct PageWriter {
    FileWrite* file;
    uint8_t* buffer;
    uint64_t used;
    bool ok;
};
constexpr uint64_t writer_capacity = uint64_t{1} << 20;

void flush(PageWriter* w) {
    if (w->ok && w->used > 0) w->ok = write_file_part(w->file, w->buffer, w->used);
    w->used = 0;
}

void put(PageWriter* w, const void* bytes, uint64_t count) {
    const auto* p = static_cast<const uint8_t*>(bytes);
    while (count > 0 && w->ok) {
        const uint64_t n = writer_capacity - w->used < count ? writer_capacity - w->used : count;
        memcpy(w->buffer + w->used, p, n);
        w->used += n, p += n, count -= n;
        if (w->used == writer_capacity) flush(w);
    }
}
void put(PageWriter* w, const char* text) { put(w, text, strlen(text)); }

void put_base64(PageWriter* w, const uint8_t* bytes, uint64_t count) {
    for (uint64_t i = 0; i < count && w->ok; i += 3) {
        if (writer_capacity - w->used < 4) flush(w);
        base64_group(bytes + i, count - i < 3 ? count - i : 3, reinterpret_cast<char*>(w->buffer + w->used));
        w->used += 4;
    }
}

constexpr char meta_open[] = "<script type=\"application/json\" id=\"hmap-meta\">";
constexpr char layer_open[] = "<script type=\"application/octet-stream\" id=\"hmap-layer-";
constexpr char element_close[] = "</script>\n";

uint64_t page_bytes(const Text& meta, const PageLayer* layers, int count) {
    uint64_t size = page_head_size + page_tail_size + strlen(meta_open) + meta.length + strlen(element_close);
    for (int i = 0; i < count; ++i) {
        size += strlen(layer_open) + strlen(signed_number(i).text) + 2 + base64_size(layers[i].packed_size) +
                strlen(element_close);
    }
    return size;
}

bool write_page_file(FileWrite* file, const Text& meta, const PageLayer* layers, int count, uint8_t* buffer) {
    PageWriter w{file, buffer, 0, true};
    put(&w, page_head, page_head_size);
    put(&w, meta_open);
    put(&w, meta.data, meta.length);
    put(&w, element_close);
    for (int i = 0; i < count; ++i) {
        put(&w, layer_open);
        put(&w, signed_number(i).text);
        put(&w, "\">");
        put_base64(&w, layers[i].packed, layers[i].packed_size);
        put(&w, element_close);
    }
    put(&w, page_tail, page_tail_size);
    flush(&w);
    return w.ok;
}

// What a run holds, released on every way out.
struct PageRun {
    HeightFile file;
    Grey16Image images[2];
    uint8_t* chunk;  // the battle file's new HMAP chunk, as the import would make it
    BattleFile after;
    PageLayer layers[4];
    int count;
    int64_t* rows;
    Text meta;
    uint8_t* buffer;
    libdeflate_compressor* compressor;
};

void release_run(PageRun* run) {
    for (PageLayer& layer : run->layers) release_buffer(layer.packed);
    release_buffer(run->rows);
    release_buffer(run->meta.data);
    release_buffer(run->buffer);
    release_buffer(run->chunk);
    libdeflate_free_compressor(run->compressor);
    release_grey16_image(&run->images[0]);
    release_grey16_image(&run->images[1]);
    release_height_file(&run->file);
}

// The import of the two images into the battle file, made in memory, and a
// view of its chunk as a battle file's, to read its heights as any others.
bool encode_after(PageRun* run) {
    const Grey16Image& one = run->images[0];
    const Grey16Image& two = run->images[1];
    const uint64_t nb = heightmap_block_count(one.width, one.height);
    auto* index = reinterpret_cast<uint32_t*>(allocate_buffer(pattern_index_size(nb)));
    run->chunk = index != nullptr ? allocate_buffer(chunk_capacity(nb)) : nullptr;
    if (run->chunk == nullptr) {
        release_buffer(index);
        return false;
    }
    const HeightmapPair pair{one.samples, two.samples, one.width, one.height, one.sea_level, one.rows, two.rows};
    // The pool has room for a pattern for every block, which no limit below
    // that can refuse: so large a map is beyond any browser anyway.
    encode_heightmaps(pair, run->chunk, index, 2 * nb + 1, nullptr, nullptr);
    release_buffer(index);
    BattleFile& after = run->after;
    after.data = run->chunk;
    after.width = one.width;
    after.height = one.height;
    after.block_count = static_cast<uint32_t>(nb);
    after.pattern_count = read_le32(run->chunk + 16);
    after.layer1_pos = 24;
    after.layer2_pos = 28 + 16 * nb;
    return true;
}

// The input that changed while it was read, if one did.
const char* changed_input(const PageRun& run, const char* in, const char* const* pngs) {
    if (!height_file_unchanged(run.file)) return in;
    for (int i = 0; i < 2; ++i) {
        if (!grey16_unchanged(run.images[i])) return pngs[i];
    }
    return nullptr;
}

Status make_page(PageRun* run, const char* in, const char* out, const char* const* pngs) {
    const bool compare = pngs[0][0] != 0;
    InputFile input;
    if (!open_input(in, &input)) return report_file_failure(in);
    if (compare && input.kind == FileKind::png) {
        // Only a battle file is imported into.
        console_printf("Error: Too many args \r\n");
        close_input(&input);
        return status_usage;
    }
    const Status loaded = load_height_file(in, &input, &run->file);
    close_input(&input);
    if (loaded != status_ok) return loaded;
    if (compare) {
        // Both images are loaded, so both report their faults.
        const Status one = load_grey16_png(pngs[0], &run->images[0]);
        const Status two = load_grey16_png(pngs[1], &run->images[1]);
        if (one != status_ok) return one;
        if (two != status_ok) return two;
        if (report_pair_refused(pngs[0], run->images[0], pngs[1], run->images[1])) return status_refused;
        report_import_warnings(in, run->file.battle, pngs[0], run->images[0], pngs[1], run->images[1]);
        if (!encode_after(run)) return report_out_of_memory(out);
    }

    PageLayer* layers = run->layers;
    if (run->file.is_png) {
        layers[run->count++] = page_layer(image_source(run->file.image), 1, "", in, -1);
    } else {
        const char* stage = compare ? "before" : "";
        for (int i = 0; i < 2; ++i) {
            layers[run->count++] = page_layer(battle_source(run->file.battle, i), i + 1, stage, in, -1);
        }
    }
    if (compare) {
        const bool same_size = battle_width(run->after) == battle_width(run->file.battle) &&
                               battle_height(run->after) == battle_height(run->file.battle);
        for (int i = 0; i < 2; ++i) {
            const int reference = same_size ? i : -1;
            layers[run->count++] = page_layer(battle_source(run->after, i), i + 1, "after", pngs[i], reference);
        }
    }

    uint32_t widest = 0;
    for (int i = 0; i < run->count; ++i) widest = layers[i].source.width > widest ? layers[i].source.width : widest;
    run->rows = reinterpret_cast<int64_t*>(allocate_buffer(3 * 8 * uint64_t{widest}));
    if (run->rows == nullptr) return report_out_of_memory(out);
    int64_t lowest = INT64_MAX, highest = INT64_MIN;
    for (int i = 0; i < run->count; ++i) {
        measure_layer(&layers[i], run->rows);
        lowest = layers[i].lowest < lowest ? layers[i].lowest : lowest;
        highest = layers[i].highest > highest ? layers[i].highest : highest;
    }
    // One scale for every heightmap, as -p gives a battle file's two.
    const PictureColours colours = picture_colours(lowest, highest);
    report_colour_span(colours.depth, colours.top);

    run->compressor = libdeflate_alloc_compressor(compression_level);
    if (run->compressor == nullptr) return report_out_of_memory(out);
    for (int i = 0; i < run->count; ++i) {
        const PageLayer* reference = layers[i].reference >= 0 ? &layers[layers[i].reference] : nullptr;
        if (!pack_layer(&layers[i], reference, run->rows, run->compressor)) return report_out_of_memory(out);
    }

    run->meta = Text{reinterpret_cast<char*>(allocate_buffer(meta_capacity)), 0, false};
    run->buffer = allocate_buffer(writer_capacity);
    if (run->meta.data == nullptr || run->buffer == nullptr) return report_out_of_memory(out);
    Text* meta = &run->meta;
    add(meta, "{\"input\":");
    add_string(meta, in);
    add_colours(meta, colours);
    add(meta, ",\"layers\":[");
    for (int i = 0; i < run->count; ++i) {
        if (i > 0) add(meta, ",");
        add_layer(meta, layers[i]);
    }
    add(meta, "]");
    if (compare) add_comparisons(meta, in, run->file.battle, pngs, run->images);
    add(meta, "}");
    if (meta->full) return report_out_of_memory(out);

    FileWrite* file = begin_file_write(out, page_bytes(*meta, layers, run->count));
    if (file == nullptr) return report_file_failure(out);
    if (!write_page_file(file, *meta, layers, run->count, run->buffer)) {
        abandon_file_write(file);
        return report_file_failure(out);
    }
    // Kept only when made from one version of each input.
    if (const char* changed = changed_input(*run, in, pngs)) {
        abandon_file_write(file);
        return report_file_failure(changed);
    }
    if (!finish_file_write(file)) return report_file_failure(out);
    return status_ok;
}

}  // namespace

Status write_page(const char* in, const char* out, const char* png1, const char* png2) {
    // A page written over a file it shows would destroy it.
    bool clash = report_output_is_input(out, in);
    if (png1[0] != 0) {
        const bool one = report_output_is_input(out, png1);
        const bool two = report_output_is_input(out, png2);
        clash = clash || one || two;
    }
    if (clash) return status_refused;
    const char* pngs[2] = {png1, png2};
    PageRun run{};
    const Status status = make_page(&run, in, out, pngs);
    release_run(&run);
    return status;
}
