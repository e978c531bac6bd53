// The table of formats, detection and dispatch through it, and what every
// grid gets afterwards: its voids counted and its value range found, once
// for all formats.
#include "heightmap_formats.h"

#include <cmath>
#include <cstring>

#include "grid_readers.h"
#include "grid_testing.h"

// The formats, in the order their signatures and then their extensions are
// tried. A new format is a file that defines its reader, its name on these
// two lines, and its file in CMakeLists.txt.
extern const GridReader png_grid, tiff_grid, exr_grid, pfm_grid, raw16_grid, raw32_grid, hgt_grid;
constexpr const GridReader* grid_formats[] = {&png_grid, &tiff_grid, &exr_grid, &pfm_grid, &raw16_grid, &raw32_grid, &hgt_grid};

void release_grid(Grid* grid) {
    if (grid->view.state != nullptr) {
        close_file_view(&grid->view);  // the values lie in its pages
    } else {
        release_buffer(grid->u16);
        release_buffer(grid->f32);
        release_buffer(grid->f64);
    }
    grid->u16 = nullptr;
    grid->f32 = nullptr;
    grid->f64 = nullptr;
}

bool grid_unchanged(const Grid& grid) { return grid.view.state == nullptr || view_unchanged(grid.view); }

GridError start_grid(const GridInput& input, Grid* grid, uint64_t width, uint64_t height, GridValues values,
                     uint8_t* place) {
    *grid = Grid{};
    if (width == 0 || height == 0) return GridError::corrupt;
    if (past_limits(input, width, height)) return GridError::too_large;
    grid->width = static_cast<uint32_t>(width);
    grid->height = static_cast<uint32_t>(height);
    const uint64_t bytes = width * height * (values == GridValues::u16 ? 2 : values == GridValues::f32 ? 4 : 8);
    uint8_t* block = place != nullptr ? place : allocate_buffer(bytes);
    if (block == nullptr) return GridError::out_of_memory;
    switch (values) {
    case GridValues::u16: grid->u16 = reinterpret_cast<uint16_t*>(block); break;
    case GridValues::f32: grid->f32 = reinterpret_cast<float*>(block); break;
    case GridValues::f64: grid->f64 = reinterpret_cast<double*>(block); break;
    }
    return GridError::none;
}

GridError start_file(uint64_t capacity, uint32_t width, FileInMemory* file) {
    *file = FileInMemory{allocate_buffer(capacity), capacity, 0, nullptr};
    file->row = reinterpret_cast<float*>(allocate_buffer(4 * uint64_t{width}));
    if (file->bytes != nullptr && file->row != nullptr) return GridError::none;
    const uint32_t code = last_error_code();
    release_buffer(file->bytes);
    release_buffer(file->row);
    set_last_error_code(code);
    *file = FileInMemory{};
    return GridError::out_of_memory;
}

bool put_bytes(FileInMemory* file, uint64_t offset, const void* in, uint64_t count) {
    if (offset > file->capacity || count > file->capacity - offset) return false;
    memcpy(file->bytes + offset, in, static_cast<size_t>(count));
    file->size = offset + count > file->size ? offset + count : file->size;
    return true;
}

GridError finish_file(FileInMemory* file, bool ok, MadeFile* out) {
    release_buffer(file->row);
    if (!ok) release_buffer(file->bytes);
    *out = ok ? MadeFile{file->bytes, file->size} : MadeFile{};
    *file = FileInMemory{};
    return ok ? GridError::none : GridError::corrupt;
}

uint64_t square_side(uint64_t count) {
    auto side = static_cast<uint64_t>(std::sqrt(static_cast<double>(count)));
    while (side * side > count) --side;
    while ((side + 1) * (side + 1) <= count) ++side;
    return side * side == count ? side : 0;
}

const char* grid_error_text(GridError error) {
    switch (error) {
    case GridError::none: return "No error";
    case GridError::out_of_memory: return "Out of memory";
    case GridError::unknown_format: return "Not a heightmap hmap reads";
    case GridError::truncated: return "The file ends before its pixels do";
    case GridError::shared_blocks:
        return "Its strips or tiles share their bytes, far too few for the pixels it claims";
    case GridError::corrupt: return "Damaged file";
    case GridError::raw_size_unknown:
        return "A RAW file of unknown size: an ENVI .hdr beside it gives one, or a map: hmap -c IN OUT MAP.prj N";
    case GridError::raw_size_mismatch: return "A RAW file of unknown size: an ENVI .hdr beside it gives one";
    case GridError::bad_envi_header: return "Bad ENVI header";
    case GridError::envi_bands: return "An ENVI header of several bands; hmap reads one";
    case GridError::envi_data_type: return "An ENVI data type hmap does not read";
    case GridError::too_large: return "Too large; heightmaps are at most 65535x65535";
    case GridError::no_pixel_data: return "A TIFF without pixel data";
    case GridError::unsupported_sample: return "A sample type hmap does not read";
    case GridError::no_usable_channel: return "An OpenEXR file without a Y or R channel, nor a single one";
    case GridError::bad_pfm_header: return "Bad PFM header";
    case GridError::hgt_not_square: return "An .hgt file's length gives no square of samples";
    case GridError::colour_png: return "A colour PNG; heightmaps are grey (R, G and B equal)";
    case GridError::no_valid_value: return "Not a single valid height: every value is a void";
    case GridError::needs_mapping: return "Not 16-bit samples";
    case GridError::unsupported_compression: return "A compression hmap does not read";
    }
    return "Unknown error";
}

const GridReader* grid_format_of(const char* path, const uint8_t* bytes, uint64_t size) {
    for (const GridReader* reader : grid_formats)
        if (reader->identify != nullptr && reader->identify(bytes, size)) return reader;
    for (const GridReader* reader : grid_formats)
        for (const char* extension : reader->extensions)
            if (extension != nullptr && has_extension(path, extension)) return reader;
    return nullptr;
}

const GridReader* float_format_for(const char* path) {
    for (const GridReader* reader : grid_formats) {
        if (reader->write_floats == nullptr) continue;
        for (const char* extension : reader->extensions)
            if (extension != nullptr && has_extension(path, extension)) return reader;
    }
    return nullptr;
}

namespace {

// The formats hmap reads, as the refusal of an unknown one lists them:
// those known by their signature by name, the others by their extensions.
void list_formats(GridDetail* detail) {
    const char* items[16];
    size_t count = 0;
    for (const GridReader* reader : grid_formats) {
        if (reader->identify != nullptr) {
            items[count++] = reader->name;
            continue;
        }
        for (const char* extension : reader->extensions)
            if (extension != nullptr) items[count++] = extension;
    }
    size_t length = 0;
    for (size_t i = 0; i < count; ++i) {
        const char* separator = i == 0 ? "" : i + 1 == count ? " or " : ", ";
        length += static_cast<size_t>(snprintf(detail->text + length, sizeof detail->text - length, "%s%s",
                                               separator, items[i]));
        if (length >= sizeof detail->text) break;
    }
}

// Voids (NaN and infinities, all made NaN) counted among values of type T,
// and the lowest and highest valid value.
template <typename T>
GridError measure_values(Grid* grid, T* values) {
    const uint64_t count = uint64_t{grid->width} * grid->height;
    T lowest = INFINITY, highest = -INFINITY;
    uint64_t voids = 0;
    for (uint64_t i = 0; i < count; ++i) {
        const T v = values[i];
        if (!std::isfinite(v)) {
            values[i] = NAN;
            ++voids;
            continue;
        }
        lowest = v < lowest ? v : lowest;
        highest = v > highest ? v : highest;
    }
    grid->voids = voids;
    if (voids == count) return GridError::no_valid_value;
    grid->lowest = lowest;
    grid->highest = highest;
    return GridError::none;
}

GridError measure_grid(Grid* grid) {
    if (grid->f32 != nullptr) return measure_values(grid, grid->f32);
    if (grid->f64 != nullptr) return measure_values(grid, grid->f64);
    const uint64_t count = uint64_t{grid->width} * grid->height;
    uint16_t lowest = 0xFFFF, highest = 0;
    for (uint64_t i = 0; i < count; ++i) {
        const uint16_t v = grid->u16[i];
        lowest = v < lowest ? v : lowest;
        highest = v > highest ? v : highest;
    }
    grid->lowest = lowest;
    grid->highest = highest;
    return GridError::none;
}

// Whether the grid's values lie in the block `own` (built in place there).
bool lies_in(const Grid& grid, const uint8_t* own) {
    return grid.u16 == reinterpret_cast<const uint16_t*>(own) || grid.f32 == reinterpret_cast<const float*>(own) ||
           grid.f64 == reinterpret_cast<const double*>(own);
}

// What a sample is, as the refusal of one that is no 16-bit sample names it.
const char* sample_kind(SampleType type) {
    switch (type) {
        case SampleType::u8:
            return "8-bit";
        case SampleType::i8:
        case SampleType::i16:
        case SampleType::i32:
            return "Signed";
        case SampleType::u32:
            return "32-bit";
        default:
            return "Floating-point";
    }
}

GridError read_any_grid(const char* path, const GridInput& input, Grid* out) {
    *out = Grid{};
    const GridReader* format = grid_format_of(path, input.bytes, input.size);
    if (format == nullptr) {
        list_formats(input.detail);
        return GridError::unknown_format;
    }
    if (input.size == 0) return GridError::truncated;
    GridError error = format->read(input, out);
    if (error == GridError::none) {
        out->format = format;
        error = measure_grid(out);
    }
    if (error != GridError::none) {
        // A grid built in place is released with the block it lies in.
        if (input.own != nullptr && lies_in(*out, input.own)) *out = Grid{};
        const SampleType type = out->type;
        release_grid(out);
        *out = Grid{};
        if (error == GridError::needs_mapping) {
            out->format = format;
            out->type = type;
        }
    }
    return error;
}

}  // namespace

GridError read_grid(const char* path, const uint8_t* bytes, uint64_t size, const GridHints& hints, Grid* out,
                    GridDetail* detail) {
    GridDetail ignored;
    const GridInput input{bytes, size, nullptr, hints, GridLimits{}, detail != nullptr ? detail : &ignored};
    return read_any_grid(path, input, out);
}

GridError take_grid(const char* path, FileBytes* file, const GridHints& hints, Grid* out, GridDetail* detail) {
    GridDetail ignored;
    uint8_t* own = file->data;
    const GridInput input{own, file->size, own, hints, GridLimits{}, detail != nullptr ? detail : &ignored};
    const GridError error = read_any_grid(path, input, out);
    if (error != GridError::none || !lies_in(*out, own)) release_buffer(own);
    *file = FileBytes{};
    return error;
}

namespace {

bool is_raw_format(const GridReader* format) { return format == &raw16_grid || format == &raw32_grid; }

// The most an ENVI header may hold: a few lines give a heightmap's layout;
// more is no header of one.
constexpr uint64_t envi_header_most = 1 << 20;

// Reads the ENVI header at `name` into `hints`: false, with the last error
// code set, when it cannot be read; a header that is no header hmap reads
// sets `refusal`, the detail naming it.
bool read_envi_header(const char* name, GridHints* hints, GridError* refusal, GridDetail* detail) {
    FileView view;
    if (!open_file_view(name, &view)) return false;
    const bool too_long = view.size > envi_header_most;
    const uint64_t size = too_long ? envi_header_most : view.size;
    uint8_t* text = allocate_buffer(size);
    const bool read = text != nullptr && copy_from_view(view, 0, size, text);
    close_file_view(&view);
    if (read) {
        *refusal = too_long ? GridError::bad_envi_header : parse_envi_header(text, size, &hints->raw, detail);
        if (too_long) snprintf(detail->text, sizeof detail->text, "longer than 1 MiB");
        if (*refusal != GridError::none) {
            // Named by its name alone: it lies beside the file refused.
            char what[sizeof detail->text];
            memcpy(what, detail->text, sizeof what);
            snprintf(detail->text, sizeof detail->text, "%s: %.200s", name + name_start(name), what);
        }
    }
    const uint32_t code = last_error_code();
    release_buffer(text);
    set_last_error_code(code);
    return read;
}

// The ENVI header beside a RAW file, by the first of its names that is
// there, into `hints` (none there: nothing). Prints a header that is there
// but cannot be read as a file failure; a refused one sets `refusal`.
Status find_envi_header(const char* path, GridHints* hints, GridError* refusal, GridDetail* detail) {
    char name[4096 + 8], first[sizeof name] = {};
    for (uint8_t which = 0; which < envi_header_names; ++which) {
        if (!envi_header_name(path, which, name, sizeof name) || strcmp(name, first) == 0) continue;
        if (which == 0) memcpy(first, name, sizeof name);
        if (!read_envi_header(name, hints, refusal, detail)) {
            if (is_missing_file_error(last_error_code())) continue;
            return report_file_failure(name);
        }
        if (*refusal != GridError::none) return status_refused;
        hints->envi_name = which;
        return status_ok;
    }
    return status_ok;
}

}  // namespace

bool envi_header_name(const char* path, uint8_t which, char* out, size_t capacity) {
    const size_t start = name_start(path);
    size_t end = strlen(path);
    const char* dot = strrchr(path + start, '.');
    if (which == 0 && dot != nullptr && dot > path + start) end = static_cast<size_t>(dot - path);
    if (end + 5 > capacity) return false;
    memcpy(out, path, end);
    memcpy(out + end, ".hdr", 5);
    return true;
}

Status read_grid_view(const char* path, FileView* view, const GridHints& hints, Grid* out, GridError* refusal,
                      GridDetail* detail) {
    *out = Grid{};
    *refusal = GridError::none;
    *detail = GridDetail{};
    FileView taken = *view;
    *view = FileView{};
    // The readers take their headers and tables into copies of their own
    // (libtiff and OpenEXR into theirs) and read the values where they lie.
    auto* own = const_cast<uint8_t*>(taken.data);
    GridHints given = hints;
    if (is_raw_format(grid_format_of(path, own, taken.size))) {
        // A RAW file holds no size: an explicit header beats any guess.
        if (Status status = find_envi_header(path, &given, refusal, detail)) {
            close_file_view(&taken);
            return status;
        }
    }
    const GridInput input{own, taken.size, own, given, GridLimits{}, detail};
    const GridError error = read_any_grid(path, input, out);
    if (error == GridError::none && lies_in(*out, own)) {
        out->view = taken;
        return status_ok;
    }
    // Decoded into a grid of its own: the file must still be the version read.
    const bool same = view_unchanged(taken);
    close_file_view(&taken);
    if (!same) {  // a refusal too: it may be of bytes the file never held
        release_grid(out);
        *out = Grid{};
        return report_file_failure(path);
    }
    if (error == GridError::none) return status_ok;
    if (error == GridError::out_of_memory) return report_out_of_memory(path);
    *refusal = error;
    return status_refused;
}

void report_grid_refusal(const char* path, GridError refusal, const Grid& refused, const GridDetail& detail) {
    if (refusal == GridError::needs_mapping) {
        console_printf("%s > Error: %s values are no 16-bit samples: map them to heights with hmap -c IN OUT "
                       "LOW HIGH, or to a battle map's with hmap -c IN OUT MAP.prj N.\r\n",
                       path, sample_kind(refused.type));
    } else if (refusal == GridError::unsupported_compression) {  // named, as "JPEG compression"
        console_printf("Error: %s uses %s, which hmap does not read.\r\n", path, detail.text);
    } else if (detail.text[0] != '\0') {
        console_printf("%s > Error: %s (%s)\r\n", path, grid_error_text(refusal), detail.text);
    } else {
        console_printf("%s > Error: %s\r\n", path, grid_error_text(refusal));
    }
}

Status take_grid_view(const char* path, FileView* view, const GridHints& hints, Grid* out) {
    GridError refusal;
    GridDetail detail;
    const Status status = read_grid_view(path, view, hints, out, &refusal, &detail);
    if (refusal != GridError::none) {
        report_grid_refusal(path, refusal, *out, detail);
        *out = Grid{};  // holds nothing but the refused values' kind
    }
    return status;
}
