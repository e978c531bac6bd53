// The import command: two heightmap PNGs are compressed into the battle
// file's block form and spliced into a copy of it in place of its old HMAP
// chunk, every other byte as it was.
#include "import.h"

namespace {

// The inputs read in place besides the battle file, for the rebuild's checks.
struct ImageInputs {
    const char* png1;
    const Grey16Image* image1;
    const char* png2;
    const Grey16Image* image2;
};

const char* changed_image(void* context) {
    const auto& inputs = *static_cast<const ImageInputs*>(context);
    return !grey16_unchanged(*inputs.image1) ? inputs.png1 : !grey16_unchanged(*inputs.image2) ? inputs.png2 : nullptr;
}

}  // namespace

Status import_heightmaps(const char* battle_in, const char* battle_out, const char* png1, const char* png2) {
    // The new battle file may replace the old one (everything is read before
    // it is written), but never one of the images.
    if (report_output_is_input(battle_out, png1) || report_output_is_input(battle_out, png2)) return status_refused;
    // Both images are loaded, so both report their faults.
    Grey16Image image1, image2;
    Status status1 = load_grey16_png(png1, &image1);
    Status status2 = load_grey16_png(png2, &image2);
    Status status = status1 != status_ok ? status1 : status2;
    if (status == status_ok && report_pair_refused(png1, image1, png2, image2)) status = status_refused;
    BattleFile battle{};
    if (status == status_ok) status = load_battle_file(battle_in, &battle);
    if (status == status_ok) status = import_images(battle_in, &battle, battle_out, png1, image1, png2, image2);
    release_battle_file(&battle);
    release_grey16_image(&image1);
    release_grey16_image(&image2);
    return status;
}

bool report_pair_refused(const char* png1, const Grey16Image& image1, const char* png2, const Grey16Image& image2) {
    if (image1.width != image2.width || image1.height != image2.height) {
        console_printf("Error: %s (%dx%d) must be the same dimensions as %s (%dx%d).\r\n", png1,
                       static_cast<int>(image1.width), static_cast<int>(image1.height), png2,
                       static_cast<int>(image2.width), static_cast<int>(image2.height));
        return true;
    }
    if (image1.sea_level != image2.sea_level) {
        // A warning by its wording, but the import stops here.
        console_printf("Warning: %s sea-level (%04X) differs from %s sea-level (%04X).\r\n", png1,
                       static_cast<unsigned>(image1.sea_level), png2, static_cast<unsigned>(image2.sea_level));
        return true;
    }
    return false;
}

void report_import_warnings(const char* battle_in, const BattleFile& battle, const char* png1,
                            const Grey16Image& image1, const char* png2, const Grey16Image& image2) {
    if (battle_width(battle) != image1.width || battle_height(battle) != image1.height) {
        console_printf("Warning: %s heightmap dimensions (%dx%d) differ from new (%dx%d).\r\n", battle_in,
                       static_cast<int>(battle_width(battle)), static_cast<int>(battle_height(battle)),
                       static_cast<int>(image1.width), static_cast<int>(image1.height));
    }
    // Image editors drop the private chunk; with both images stripped of
    // it every height would move by the battle file's own sea level. The
    // line says how to take that value back from the battle file.
    if (!image1.has_sea_level && !image2.has_sea_level && battle.sea_level != 0) {
        console_printf("Warning: %s and %s have no sea-level chunk; 0000 used, %s has %04X. If they came from "
                       "it, restore it with hmap -s %s %s and hmap -s %s %s.\r\n",
                       png1, png2, battle_in, static_cast<unsigned>(battle.sea_level), png1, battle_in, png2,
                       battle_in);
    }
}

Status import_images(const char* battle_in, BattleFile* battle, const char* battle_out, const char* png1,
                     const Grey16Image& image1, const char* png2, const Grey16Image& image2) {
    const uint32_t width = image1.width, height = image1.height;
    report_import_warnings(battle_in, *battle, png1, image1, png2, image2);
    ImageInputs inputs{png1, &image1, png2, &image2};
    Rebuild rebuild{};
    rebuild.battle_in = battle_in;
    rebuild.battle = battle;
    rebuild.battle_out = battle_out;
    rebuild.pair = HeightmapPair{image1.samples, image2.samples, width, height, image1.sea_level, image1.rows,
                                 image2.rows};
    rebuild.name1 = png1;
    rebuild.name2 = png2;
    rebuild.report = report_truncated_block;
    rebuild.changed = changed_image;
    rebuild.changed_context = &inputs;
    return rebuild_battle_file(rebuild);
}

namespace {

// The rows of two images, each sample moved from its image's sea level to
// the one offset both heightmaps' samples share.
struct ShiftedImages {
    const Grey16Image* images[2];
    int32_t shift[2];  // added to each sample of that image
};

void make_shifted_band(void* context, int layer, uint32_t y0, uint32_t count, uint8_t* out) {
    const auto& shifted = *static_cast<const ShiftedImages*>(context);
    const Grey16Image& image = *shifted.images[layer];
    const int32_t shift = shifted.shift[layer];
    for (uint32_t y = y0; y < y0 + count; ++y, out += 2 * uint64_t{image.width}) {
        const uint8_t* row = grey16_row(image, y);
        for (uint32_t x = 0; x < image.width; ++x) {
            const auto sample = static_cast<uint16_t>(read_be16(row + 2 * x) + shift);
            out[2 * x] = static_cast<uint8_t>(sample >> 8);
            out[2 * x + 1] = static_cast<uint8_t>(sample);
        }
    }
}

// The lowest and highest height of both images, each its samples less its
// own sea level.
void height_range(const Grey16Image& image1, const Grey16Image& image2, int32_t* lowest, int32_t* highest) {
    *lowest = INT32_MAX;
    *highest = INT32_MIN;
    for (const Grey16Image* image : {&image1, &image2}) {
        uint32_t lo = 0, hi = 0;
        grey16_sample_range(*image, &lo, &hi);
        const int32_t low = static_cast<int32_t>(lo) - image->sea_level;
        const int32_t high = static_cast<int32_t>(hi) - image->sea_level;
        *lowest = low < *lowest ? low : *lowest;
        *highest = high > *highest ? high : *highest;
    }
}

}  // namespace

bool report_heights_refused(const char* png1, const Grey16Image& image1, const char* png2,
                            const Grey16Image& image2) {
    int32_t lowest = 0, highest = 0;
    height_range(image1, image2, &lowest, &highest);
    if (highest - lowest <= 65535) return false;
    console_printf("Error: %s and %s hold heights %d to %d, which span %d, more than the 65535 a battle file's "
                   "heightmaps may span; nothing was written.\r\n",
                   png1, png2, static_cast<int>(lowest), static_cast<int>(highest), static_cast<int>(highest - lowest));
    return true;
}

Status import_heights(const char* battle_in, BattleFile* battle, const char* battle_out, const char* png1,
                      const Grey16Image& image1, const char* png2, const Grey16Image& image2, uint16_t* sea_level) {
    report_import_warnings(battle_in, *battle, png1, image1, png2, image2);
    if (report_heights_refused(png1, image1, png2, image2)) return status_refused;
    // One offset takes both images' heights to samples.
    int32_t lowest = 0, highest = 0;
    height_range(image1, image2, &lowest, &highest);
    const int32_t offset = -lowest;
    ShiftedImages shifted{{&image1, &image2}, {offset - image1.sea_level, offset - image2.sea_level}};
    uint8_t* band = allocate_buffer(16 * uint64_t{image1.width});
    if (band == nullptr) return report_out_of_memory(battle_out);
    ImageInputs inputs{png1, &image1, png2, &image2};
    Rebuild rebuild{};
    rebuild.battle_in = battle_in;
    rebuild.battle = battle;
    rebuild.battle_out = battle_out;
    rebuild.pair.width = image1.width;
    rebuild.pair.height = image1.height;
    rebuild.pair.sea_level = offset;
    rebuild.pair.band = make_shifted_band;
    rebuild.pair.band_context = &shifted;
    rebuild.pair.band_rows = band;
    rebuild.name1 = png1;
    rebuild.name2 = png2;
    rebuild.report = report_truncated_block;
    rebuild.changed = changed_image;
    rebuild.changed_context = &inputs;
    const Status status = rebuild_battle_file(rebuild);
    release_buffer(band);
    // As its export stores it: the negated lowest base, 0 when none is below 0.
    *sea_level = static_cast<uint16_t>(lowest < 0 ? -lowest : 0);
    return status;
}
