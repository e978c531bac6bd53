// Headerless RAW heightmaps: .r16/.raw hold 16-bit unsigned samples, .r32
// 32-bit floats, both little-endian, rows from the top. A RAW file holds no
// size: an ENVI header beside it (as GDAL's ENVI driver writes one) gives
// the size and the samples' type, order and offset; without one the size
// is the map's when the length is exactly that, else the square the length
// gives, whatever its side (World Machine's 1025 and 4097 among them).
#include <bit>
#include <charconv>
#include <cinttypes>
#include <cmath>
#include <cstring>
#include <limits>
#include <type_traits>

#include "grid_readers.h"

namespace {

unsigned bytes_of(SampleType type) {
    switch (type) {
    case SampleType::u8:
    case SampleType::i8: return 1;
    case SampleType::u16:
    case SampleType::i16:
    case SampleType::f16: return 2;
    case SampleType::u32:
    case SampleType::i32:
    case SampleType::f32: return 4;
    case SampleType::f64: return 8;
    }
    return 1;
}

// A sample of type T at `p`, in either byte order.
template <typename T>
T load(const uint8_t* p, bool big_endian) {
    using Word = std::conditional_t<sizeof(T) == 1, uint8_t,
                                    std::conditional_t<sizeof(T) == 2, uint16_t,
                                                       std::conditional_t<sizeof(T) == 4, uint32_t, uint64_t>>>;
    uint64_t word = 0;
    for (size_t i = 0; i < sizeof(T); ++i) word = (word << 8) | p[big_endian ? i : sizeof(T) - 1 - i];
    const auto bits = static_cast<Word>(word);
    T value;
    memcpy(&value, &bits, sizeof value);
    return value;
}

// The void value as samples of type T hold it: a float's is the float it
// rounds to, an integer's only a value of that type. False when no sample
// can be one.
template <typename T>
bool void_sample(const RawLayout& layout, T* out) {
    if (!layout.has_nodata) return false;
    const double v = layout.nodata;
    if constexpr (std::is_floating_point_v<T>) {
        *out = static_cast<T>(v);
        return true;
    } else {
        if (!(v == std::floor(v)) || v < static_cast<double>(std::numeric_limits<T>::lowest()) ||
            v > static_cast<double>(std::numeric_limits<T>::max()))
            return false;
        *out = static_cast<T>(v);
        return true;
    }
}

// The samples into the grid's buffer, which may be the very bytes they lie
// in when a value takes as many bytes as a sample: each is read before its
// place is written.
template <typename T, typename V>
void take_samples(const uint8_t* bytes, uint64_t count, const RawLayout& layout, V* out) {
    T nodata{};
    const bool voids = void_sample(layout, &nodata);
    const bool big = layout.big_endian;
    for (uint64_t i = 0; i < count; ++i) {
        const T sample = load<T>(bytes + i * sizeof(T), big);
        out[i] = static_cast<V>(sample);
        if constexpr (std::is_floating_point_v<V>) {
            if (voids && sample == nodata) out[i] = NAN;
        }
    }
}

template <typename T>
void take_samples(const uint8_t* bytes, uint64_t count, const RawLayout& layout, Grid* out) {
    if (out->u16 != nullptr) {
        if constexpr (std::is_unsigned_v<T> && sizeof(T) <= 2) take_samples<T>(bytes, count, layout, out->u16);
    } else if (out->f32 != nullptr) {
        take_samples<T>(bytes, count, layout, out->f32);
    } else {
        take_samples<T>(bytes, count, layout, out->f64);
    }
}

void take_any_samples(const uint8_t* bytes, uint64_t count, const RawLayout& layout, Grid* out) {
    switch (layout.type) {
    case SampleType::u8: take_samples<uint8_t>(bytes, count, layout, out); break;
    case SampleType::u16: take_samples<uint16_t>(bytes, count, layout, out); break;
    case SampleType::i16: take_samples<int16_t>(bytes, count, layout, out); break;
    case SampleType::u32: take_samples<uint32_t>(bytes, count, layout, out); break;
    case SampleType::i32: take_samples<int32_t>(bytes, count, layout, out); break;
    case SampleType::f32: take_samples<float>(bytes, count, layout, out); break;
    case SampleType::f64: take_samples<double>(bytes, count, layout, out); break;
    default: break;  // no ENVI data type
    }
}

// The size of a RAW file without an ENVI header: the map's when its length
// is exactly that (a map of 2048 x 512 is no square), else a square.
GridError size_by_length(const GridInput& input, bool floats, RawLayout* layout, GridSizing* sizing) {
    const uint64_t size = input.size, sample_bytes = floats ? 4 : 2;
    const uint64_t map_width = input.hints.width, map_height = input.hints.height;
    const bool has_map = map_width != 0 && map_height != 0;
    *layout = RawLayout{};
    layout->type = floats ? SampleType::f32 : SampleType::u16;
    const uint64_t side = size % sample_bytes == 0 ? square_side(size / sample_bytes) : 0;
    if (has_map && size == map_width * map_height * sample_bytes) {
        layout->width = map_width;
        layout->height = map_height;
        *sizing = GridSizing::map;
    } else if (side != 0) {
        layout->width = layout->height = side;
        *sizing = GridSizing::square;
    } else {
        const char* samples = floats ? "32-bit floats" : "16-bit samples";
        if (!has_map) {
            set_detail(input, "%" PRIu64 " bytes: no square of %s, no .hdr beside it", size, samples);
            return GridError::raw_size_unknown;
        }
        set_detail(input, "%" PRIu64 " bytes: no square of %s, no .hdr beside it, and the map's %" PRIu64 " x %" PRIu64
                   " needs %" PRIu64, size, samples, map_width, map_height, map_width * map_height * sample_bytes);
        return GridError::raw_size_mismatch;
    }
    return GridError::none;
}

GridError read_raw(const GridInput& input, Grid* out, bool floats) {
    RawLayout layout = input.hints.raw;
    GridSizing sizing = GridSizing::envi_header;
    if (layout.width == 0) {
        if (const GridError error = size_by_length(input, floats, &layout, &sizing); error != GridError::none)
            return error;
    }
    const uint64_t width = layout.width, height = layout.height;
    if (past_limits(input, width, height)) return GridError::too_large;
    const uint64_t sample_bytes = bytes_of(layout.type), needed = width * height * sample_bytes;
    if (layout.offset > input.size || needed > input.size - layout.offset) {
        set_detail(input, "%" PRIu64 " bytes; the .hdr's %" PRIu64 " x %" PRIu64 " samples of %" PRIu64
                   " bytes from offset %" PRIu64 " need %" PRIu64, input.size, width, height, sample_bytes,
                   layout.offset, layout.offset + needed);
        return GridError::truncated;
    }
    if (layout.type != SampleType::u16 && input.hints.samples_only) {
        out->type = layout.type;
        return GridError::needs_mapping;
    }
    // Where the file's bytes are ours, a grid whose values take as many
    // bytes as the samples is built where they lie.
    const GridValues values = values_for(layout.type, layout.has_nodata);
    const uint64_t value_bytes = values == GridValues::u16 ? 2 : values == GridValues::f32 ? 4 : 8;
    const bool in_place = input.own != nullptr && layout.offset == 0 && value_bytes == sample_bytes;
    if (const GridError error = start_grid(input, out, width, height, values, in_place ? input.own : nullptr);
        error != GridError::none)
        return error;
    out->type = layout.type;
    out->channels = 1;
    out->sizing = sizing;
    out->envi_name = input.hints.envi_name;
    // Samples as the processor holds its values already stay as they lie,
    // their pages untouched.
    const bool native = layout.big_endian == (std::endian::native == std::endian::big);
    if (in_place && native && !layout.has_nodata) return GridError::none;
    take_any_samples(input.bytes + layout.offset, width * height, layout, out);
    return GridError::none;
}

GridError read_raw16(const GridInput& input, Grid* out) { return read_raw(input, out, false); }
GridError read_raw32(const GridInput& input, Grid* out) { return read_raw(input, out, true); }

// ---- the ENVI header ----

// A span of the header's text.
struct Text {
    const char* at;
    size_t length;
};

Text trimmed(const char* at, size_t length) {
    while (length > 0 && (*at == ' ' || *at == '\t')) ++at, --length;
    while (length > 0 && (at[length - 1] == ' ' || at[length - 1] == '\t' || at[length - 1] == '\r')) --length;
    return {at, length};
}

bool is_key(Text key, const char* name) {
    if (key.length != strlen(name)) return false;
    for (size_t i = 0; i < key.length; ++i)
        if (ascii_lower(key.at[i]) != name[i]) return false;
    return true;
}

// A whole number as ENVI writes one ("96"); at most 2^53.
bool whole_number(Text value, uint64_t* out) {
    if (value.length == 0 || value.length > 16) return false;
    uint64_t n = 0;
    for (size_t i = 0; i < value.length; ++i) {
        if (value.at[i] < '0' || value.at[i] > '9') return false;
        n = n * 10 + static_cast<uint64_t>(value.at[i] - '0');
    }
    *out = n;
    return true;
}

// A decimal number, as GDAL writes a no-data value ("-9999", "nan").
bool decimal_number(Text value, double* out) {
    const char* begin = value.at;
    const char* end = value.at + value.length;
    if (begin < end && *begin == '+') ++begin;
    const auto parsed = std::from_chars(begin, end, *out);
    return begin < end && parsed.ec == std::errc{} && parsed.ptr == end;
}

// The fields of an ENVI header that hmap reads; the others (map info,
// description, band names, ...) are passed over.
struct EnviFields {
    bool has_samples, has_lines, has_type;
    uint64_t samples, lines, bands = 1, offset, byte_order, data_type;
    bool has_nodata;
    double nodata;
};

void refuse_field(GridDetail* detail, const char* name, Text value) {
    const int shown = value.length < 64 ? static_cast<int>(value.length) : 64;
    snprintf(detail->text, sizeof detail->text, "%s = %.*s", name, shown, value.at);
}

// One "key = value" into `fields`; false, with the detail set, for a value
// that is no number where one must be.
bool take_field(Text key, Text value, EnviFields* fields, GridDetail* detail) {
    struct Whole {
        const char* name;
        uint64_t* value;
        bool* found;
    };
    const Whole wholes[] = {{"samples", &fields->samples, &fields->has_samples},
                            {"lines", &fields->lines, &fields->has_lines},
                            {"bands", &fields->bands, nullptr},
                            {"header offset", &fields->offset, nullptr},
                            {"byte order", &fields->byte_order, nullptr},
                            {"data type", &fields->data_type, &fields->has_type}};
    for (const Whole& whole : wholes) {
        if (!is_key(key, whole.name)) continue;
        if (!whole_number(value, whole.value)) {
            refuse_field(detail, whole.name, value);
            return false;
        }
        if (whole.found != nullptr) *whole.found = true;
        return true;
    }
    if (is_key(key, "data ignore value")) {
        if (!decimal_number(value, &fields->nodata)) {
            refuse_field(detail, "data ignore value", value);
            return false;
        }
        fields->has_nodata = true;
    }
    return true;
}

// ENVI's data types that hmap reads, by number.
bool envi_sample_type(uint64_t data_type, SampleType* out) {
    switch (data_type) {
    case 1: *out = SampleType::u8; return true;
    case 2: *out = SampleType::i16; return true;
    case 3: *out = SampleType::i32; return true;
    case 4: *out = SampleType::f32; return true;
    case 5: *out = SampleType::f64; return true;
    case 12: *out = SampleType::u16; return true;
    case 13: *out = SampleType::u32; return true;
    default: return false;  // 6 and 9 complex, 14 and 15 64-bit integers
    }
}

}  // namespace

GridError parse_envi_header(const uint8_t* bytes, uint64_t size, RawLayout* out, GridDetail* detail) {
    *out = RawLayout{};
    const auto* text = reinterpret_cast<const char*>(bytes);
    const char* end = text + size;
    if (size < 4 || memcmp(text, "ENVI", 4) != 0) {
        snprintf(detail->text, sizeof detail->text, "it does not start with ENVI");
        return GridError::bad_envi_header;
    }
    EnviFields fields{};
    const char* line = static_cast<const char*>(memchr(text, '\n', size));
    while (line != nullptr && line < end) {
        ++line;  // past the line end
        const char* line_end = static_cast<const char*>(memchr(line, '\n', static_cast<size_t>(end - line)));
        if (line_end == nullptr) line_end = end;
        const Text whole = trimmed(line, static_cast<size_t>(line_end - line));
        const char* equals = static_cast<const char*>(memchr(whole.at, '=', whole.length));
        if (whole.length > 0 && whole.at[0] != ';' && equals != nullptr) {
            const Text key = trimmed(whole.at, static_cast<size_t>(equals - whole.at));
            const Text value = trimmed(equals + 1, static_cast<size_t>(whole.at + whole.length - equals - 1));
            if (value.length > 0 && value.at[0] == '{') {
                // A list in braces, which may run over several lines.
                const char* close = static_cast<const char*>(memchr(value.at, '}', static_cast<size_t>(end - value.at)));
                if (close == nullptr) break;
                line_end = static_cast<const char*>(memchr(close, '\n', static_cast<size_t>(end - close)));
                if (line_end == nullptr) line_end = end;
            } else if (!take_field(key, value, &fields, detail)) {
                return GridError::bad_envi_header;
            }
        }
        line = line_end;
    }
    const char* missing = !fields.has_samples ? "samples" : !fields.has_lines ? "lines" : !fields.has_type ? "data type" : nullptr;
    if (missing != nullptr) {
        snprintf(detail->text, sizeof detail->text, "no %s", missing);
        return GridError::bad_envi_header;
    }
    const char* zero = fields.samples == 0 ? "samples" : fields.lines == 0 ? "lines" : fields.bands == 0 ? "bands" : nullptr;
    if (zero != nullptr || fields.byte_order > 1) {
        if (zero != nullptr) snprintf(detail->text, sizeof detail->text, "%s = 0", zero);
        else snprintf(detail->text, sizeof detail->text, "byte order = %" PRIu64, fields.byte_order);
        return GridError::bad_envi_header;
    }
    if (fields.bands != 1) {
        snprintf(detail->text, sizeof detail->text, "bands = %" PRIu64, fields.bands);
        return GridError::envi_bands;
    }
    if (!envi_sample_type(fields.data_type, &out->type)) {
        snprintf(detail->text, sizeof detail->text, "data type = %" PRIu64, fields.data_type);
        return GridError::envi_data_type;
    }
    out->width = fields.samples;
    out->height = fields.lines;
    out->offset = fields.offset;
    out->big_endian = fields.byte_order == 1;
    out->has_nodata = fields.has_nodata;
    out->nodata = fields.nodata;
    return GridError::none;
}

extern const GridReader raw16_grid, raw32_grid;
const GridReader raw16_grid = {"16-bit RAW", {".r16", ".raw"}, "values", nullptr, read_raw16, nullptr};
const GridReader raw32_grid = {"32-bit float RAW", {".r32"}, "values", nullptr, read_raw32, nullptr};
