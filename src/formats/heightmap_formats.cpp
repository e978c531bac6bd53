// Detection, dispatch to the format's reader, and what every grid gets
// afterwards: its voids counted and its value range found, once for all
// formats.
#include "heightmap_formats.h"

#include <cmath>
#include <cstring>

#include "grid_readers.h"

char grid_detail[256];

void release_grid(Grid* grid) {
    if (grid->view.state != nullptr) {
        close_file_view(&grid->view);  // the samples lie in its pages
    } else {
        release_buffer(grid->u16);
        release_buffer(grid->f32);
    }
    grid->u16 = nullptr;
    grid->f32 = nullptr;
}

bool grid_unchanged(const Grid& grid) { return grid.view.state == nullptr || view_unchanged(grid.view); }

GridError start_grid(Grid* grid, uint64_t width, uint64_t height, bool floats, uint8_t* place) {
    *grid = Grid{};
    if (width == 0 || height == 0) return GridError::corrupt;
    if (width > max_grid_side || height > max_grid_side) return GridError::too_large;
    grid->width = static_cast<uint32_t>(width);
    grid->height = static_cast<uint32_t>(height);
    const uint64_t count = width * height;
    if (place != nullptr) {
        if (floats) grid->f32 = reinterpret_cast<float*>(place);
        else grid->u16 = reinterpret_cast<uint16_t*>(place);
    } else if (floats) {
        grid->f32 = reinterpret_cast<float*>(allocate_buffer(count * sizeof(float)));
        if (grid->f32 == nullptr) return GridError::out_of_memory;
    } else {
        grid->u16 = reinterpret_cast<uint16_t*>(allocate_buffer(count * sizeof(uint16_t)));
        if (grid->u16 == nullptr) return GridError::out_of_memory;
    }
    return GridError::none;
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
    case GridError::unknown_format:
        return "Not a heightmap hmap reads (PNG, TIFF, OpenEXR, PFM, .r16, .raw, .r32 or .hgt)";
    case GridError::truncated: return "The file ends before its pixels do";
    case GridError::corrupt: return "Damaged file";
    case GridError::raw_size_unknown:
        return "A RAW file's length gives no square size; size it by its map: hmap -c IN OUT MAP.prj N";
    case GridError::raw_size_mismatch: return "A RAW file's length is not its map's size";
    case GridError::too_large: return "Too large; heightmaps are at most 65535x65535";
    case GridError::no_pixel_data: return "A TIFF without pixel data";
    case GridError::unsupported_sample: return "A sample type hmap does not read";
    case GridError::no_usable_channel: return "An OpenEXR file without a Y or R channel, nor a single one";
    case GridError::bad_pfm_header: return "Bad PFM header";
    case GridError::hgt_not_square: return "An .hgt file's length gives no square of samples";
    case GridError::colour_png: return "A colour PNG; heightmaps are grey (R, G and B equal)";
    case GridError::no_valid_value: return "Not a single valid height: every value is a void";
    case GridError::unsupported_compression: return "A compression hmap does not read";
    }
    return "Unknown error";
}

namespace {

bool starts_with(const uint8_t* bytes, uint64_t size, const char* magic, size_t length) {
    return size >= length && memcmp(bytes, magic, length) == 0;
}

// Whether `path` ends in `extension` (".r16"), in any case.
bool has_extension(const char* path, const char* extension) {
    const size_t length = strlen(path), want = strlen(extension);
    if (length <= want) return false;
    for (size_t i = 0; i < want; ++i) {
        char c = path[length - want + i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != extension[i]) return false;
    }
    return true;
}

struct Extension {
    const char* text;
    GridFormat format;
};
constexpr Extension extensions[] = {
    {".png", GridFormat::png}, {".r16", GridFormat::raw16}, {".raw", GridFormat::raw16},
    {".r32", GridFormat::raw32}, {".tif", GridFormat::tiff}, {".tiff", GridFormat::tiff},
    {".exr", GridFormat::exr}, {".pfm", GridFormat::pfm}, {".hgt", GridFormat::hgt},
};

// Voids (NaN and infinities, all made NaN) counted, and the lowest and
// highest valid value.
GridError measure_grid(Grid* grid) {
    const uint64_t count = uint64_t{grid->width} * grid->height;
    if (grid->u16 != nullptr) {
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
    float lowest = INFINITY, highest = -INFINITY;
    uint64_t voids = 0;
    for (uint64_t i = 0; i < count; ++i) {
        const float v = grid->f32[i];
        if (!std::isfinite(v)) {
            grid->f32[i] = NAN;
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

}  // namespace

bool detect_grid_format(const char* path, const uint8_t* bytes, uint64_t size, GridFormat* format) {
    static constexpr uint8_t png[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    static constexpr uint8_t exr[4] = {0x76, 0x2F, 0x31, 0x01};
    if (size >= 8 && memcmp(bytes, png, 8) == 0) {
        *format = GridFormat::png;
    } else if (starts_with(bytes, size, "II*\0", 4) || starts_with(bytes, size, "MM\0*", 4) ||
               starts_with(bytes, size, "II+\0", 4) || starts_with(bytes, size, "MM\0+", 4)) {
        *format = GridFormat::tiff;
    } else if (size >= 4 && memcmp(bytes, exr, 4) == 0) {
        *format = GridFormat::exr;
    } else if (size >= 3 && bytes[0] == 'P' && (bytes[1] == 'f' || bytes[1] == 'F') && is_space(bytes[2])) {
        *format = GridFormat::pfm;
    } else {
        for (const Extension& extension : extensions) {
            if (has_extension(path, extension.text)) {
                *format = extension.format;
                return true;
            }
        }
        return false;
    }
    return true;
}

namespace {

GridError read_any_grid(const char* path, const uint8_t* bytes, uint64_t size, const GridHints& hints, Grid* out,
                        const char** detail, uint8_t* own) {
    *out = Grid{};
    const char* ignored = nullptr;
    if (detail == nullptr) detail = &ignored;
    *detail = nullptr;
    grid_detail[0] = '\0';
    GridFormat format{};
    if (!detect_grid_format(path, bytes, size, &format)) return GridError::unknown_format;
    if (size == 0) return GridError::truncated;
    GridError error = GridError::unknown_format;
    switch (format) {
    case GridFormat::png: error = read_png_grid(bytes, size, out, detail); break;
    case GridFormat::raw16:
    case GridFormat::raw32: error = read_raw_grid(bytes, size, format, hints, out, detail, own); break;
    case GridFormat::tiff: error = read_tiff_grid(bytes, size, out, detail, own); break;
    case GridFormat::exr: error = read_exr_grid(bytes, size, out, detail); break;
    case GridFormat::pfm: error = read_pfm_grid(bytes, size, out); break;
    case GridFormat::hgt: error = read_hgt_grid(bytes, size, out); break;
    }
    if (error == GridError::none) {
        out->format = format;
        error = measure_grid(out);
    }
    if (error != GridError::none) {
        // A grid built in place is released with the block it lies in.
        if (own != nullptr && (out->u16 == reinterpret_cast<uint16_t*>(own) || out->f32 == reinterpret_cast<float*>(own)))
            *out = Grid{};
        release_grid(out);
        *out = Grid{};
    }
    return error;
}

}  // namespace

GridError read_grid(const char* path, const uint8_t* bytes, uint64_t size, const GridHints& hints, Grid* out,
                    const char** detail) {
    return read_any_grid(path, bytes, size, hints, out, detail, nullptr);
}

namespace {

bool lies_in(const Grid& grid, const uint8_t* own) {
    return grid.u16 == reinterpret_cast<const uint16_t*>(own) || grid.f32 == reinterpret_cast<const float*>(own);
}

}  // namespace

GridError take_grid(const char* path, FileBytes* file, const GridHints& hints, Grid* out, const char** detail) {
    uint8_t* own = file->data;
    const GridError error = read_any_grid(path, own, file->size, hints, out, detail, own);
    if (error != GridError::none || !lies_in(*out, own)) release_buffer(own);
    *file = FileBytes{};
    return error;
}

Status load_grid(const char* path, const GridHints& hints, Grid* out) {
    *out = Grid{};
    FileView view;
    if (!open_private_file_view(path, &view)) return report_file_failure(path);
    // The readers take their headers and tables into copies of their own
    // (libtiff and OpenEXR into theirs) and read the samples where they lie.
    auto* own = const_cast<uint8_t*>(view.data);
    const char* detail = nullptr;
    const GridError error = read_any_grid(path, own, view.size, hints, out, &detail, own);
    if (error == GridError::none && lies_in(*out, own)) {
        out->view = view;
        return status_ok;
    }
    // Decoded into a grid of its own: the file must still be the version read.
    const bool same = view_unchanged(view);
    close_file_view(&view);
    if (!same) {  // a refusal too: it may be of bytes the file never held
        release_grid(out);
        return report_file_failure(path);
    }
    if (error == GridError::none) return status_ok;
    if (error == GridError::out_of_memory) return report_out_of_memory(path);
    if (error == GridError::unsupported_compression && detail != nullptr) {  // named, as "JPEG compression"
        console_printf("Error: %s uses %s, which hmap does not read.\r\n", path, detail);
    } else if (detail != nullptr && detail[0] != '\0') {
        console_printf("%s > Error: %s (%s)\r\n", path, grid_error_text(error), detail);
    } else {
        console_printf("%s > Error: %s\r\n", path, grid_error_text(error));
    }
    return status_refused;
}
