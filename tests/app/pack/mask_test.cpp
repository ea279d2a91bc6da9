// Clip-shape masks from BMP and PNG pictures: the same shape gives the same region data,
// whatever the picture format; pictures we cannot read are refused with a reason.
#include <gtest/gtest.h>
#include <zlib.h>

#include <fstream>

#include "json.h"
#include "mask.h"
#include "port/byte_order.h"

using namespace vantor;
using namespace vantor::pack;

namespace {

const char* kShape[] = {"..####..", ".######.", "########", "########", ".######.", "..####.."};

std::vector<uint8_t> ReadFixture(const std::string& name) {
    std::ifstream in(std::string(VANTOR_PACK_FIXTURE) + "/title/" + name, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void Chunk(std::vector<uint8_t>& png, const char* type, const std::vector<uint8_t>& data) {
    uint8_t be[4];
    WriteBE32(be, uint32_t(data.size()));
    png.insert(png.end(), be, be + 4);
    size_t start = png.size();
    png.insert(png.end(), type, type + 4);
    png.insert(png.end(), data.begin(), data.end());
    WriteBE32(be, uint32_t(crc32(0, &png[start], uInt(png.size() - start))));
    png.insert(png.end(), be, be + 4);
}

// A PNG of the shape; `pixel(x, y, inside)` gives each pixel's bytes; rows use filters 0..4
// in turn so that every filter is decoded.
template <typename Pixel>
std::vector<uint8_t> Png(uint8_t depth, uint8_t type, size_t bytesPerPixel, Pixel pixel, std::vector<uint8_t> plte = {},
                         std::vector<uint8_t> trns = {}, uint8_t interlace = 0) {
    std::vector<uint8_t> raw;
    std::vector<uint8_t> previous;
    for (uint32_t y = 0; y < 6; ++y) {
        std::vector<uint8_t> row;
        for (uint32_t x = 0; x < 8; ++x) {
            std::vector<uint8_t> p = pixel(x, y, kShape[y][x] == '#');
            row.insert(row.end(), p.begin(), p.end());
        }
        if (depth < 8) {  // pack the samples (one per byte in `row`) into bits
            std::vector<uint8_t> packed((row.size() * depth + 7) / 8, 0);
            for (size_t i = 0; i < row.size(); ++i) packed[i * depth / 8] |= uint8_t(row[i] << (8 - depth - (i * depth) % 8));
            row = packed;
        }
        if (previous.empty()) previous.assign(row.size(), 0);
        uint8_t filter = uint8_t(y % 5);
        raw.push_back(filter);
        size_t bpp = std::max<size_t>(1, bytesPerPixel);
        for (size_t i = 0; i < row.size(); ++i) {
            int a = i >= bpp ? row[i - bpp] : 0, b = previous[i], c = i >= bpp ? previous[i - bpp] : 0;
            int p = a + b - c, pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
            int predictor[] = {0, a, b, (a + b) / 2, (pa <= pb && pa <= pc) ? a : (pb <= pc ? b : c)};
            raw.push_back(uint8_t(row[i] - predictor[filter]));
        }
        previous = row;
    }
    std::vector<uint8_t> png = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    std::vector<uint8_t> ihdr(13, 0);
    WriteBE32(&ihdr[0], 8), WriteBE32(&ihdr[4], 6);
    ihdr[8] = depth, ihdr[9] = type, ihdr[12] = interlace;
    Chunk(png, "IHDR", ihdr);
    if (!plte.empty()) Chunk(png, "PLTE", plte);
    if (!trns.empty()) Chunk(png, "tRNS", trns);
    uLongf size = compressBound(uLong(raw.size()));
    std::vector<uint8_t> z(size);
    compress(z.data(), &size, raw.data(), uLong(raw.size()));
    z.resize(size);
    Chunk(png, "IDAT", z);
    Chunk(png, "IEND", {});
    return png;
}

}  // namespace

TEST(PackMask, BmpShapeBecomesMergedRowRectangles) {
    std::vector<uint8_t> file = MaskFileFromImage(ReadBmpMask(ReadFixture("round.bmp"), "round.bmp", false));
    std::vector<MaskRect> rects;
    MaskRect bound;
    ASSERT_TRUE(ParseMaskFile(file, rects, bound));
    std::vector<std::array<int32_t, 4>> got, expected = {{2, 0, 6, 1}, {1, 1, 7, 2}, {0, 2, 8, 4}, {1, 4, 7, 5}, {2, 5, 6, 6}};
    for (const MaskRect& r : rects) got.push_back({r.left, r.top, r.right, r.bottom});
    EXPECT_EQ(got, expected);
    std::array<int32_t, 4> box = {bound.left, bound.top, bound.right, bound.bottom}, whole = {0, 0, 8, 6};
    EXPECT_EQ(box, whole);
    // N covers the region data plus 32 bytes, which the projector takes off again.
    EXPECT_EQ(ReadLE32(file.data()), 32u + 5 * 16 + 32);
    EXPECT_EQ(file.size(), 4u + 32 + 5 * 16 + 32);
}

TEST(PackMask, PngFormatsGiveTheSameMaskAsTheBmp) {
    std::vector<uint8_t> expected = MaskFileFromImage(ReadBmpMask(ReadFixture("round.bmp"), "round.bmp", false));
    struct Case {
        const char* what;
        std::vector<uint8_t> png;
    } cases[] = {
        {"grey 8", Png(8, 0, 1, [](uint32_t, uint32_t, bool in) { return std::vector<uint8_t>{uint8_t(in ? 10 : 240)}; })},
        {"grey 16", Png(16, 0, 2, [](uint32_t, uint32_t, bool in) { return std::vector<uint8_t>{uint8_t(in ? 0 : 255), 7}; })},
        {"rgb", Png(8, 2, 3, [](uint32_t x, uint32_t, bool in) { return std::vector<uint8_t>{uint8_t(in ? x : 255), uint8_t(in ? 0 : 255), uint8_t(in ? 0 : 200)}; })},
        {"rgba, outside transparent and dark",
         Png(8, 6, 4, [](uint32_t, uint32_t, bool in) { return std::vector<uint8_t>{0, 0, 0, uint8_t(in ? 255 : 0)}; })},
        {"grey+alpha", Png(8, 4, 2, [](uint32_t, uint32_t, bool in) { return std::vector<uint8_t>{0, uint8_t(in ? 200 : 20)}; })},
        {"palette 1 bit", Png(1, 3, 0, [](uint32_t, uint32_t, bool in) { return std::vector<uint8_t>{uint8_t(in ? 1 : 0)}; },
                              {255, 255, 255, 0, 0, 0})},
        {"palette 4 bit, transparent entry",
         Png(4, 3, 0, [](uint32_t, uint32_t, bool in) { return std::vector<uint8_t>{uint8_t(in ? 2 : 5)}; },
             std::vector<uint8_t>(18, 0), {255, 255, 255, 255, 255, 0})},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(MaskFileFromImage(ReadPngMask(c.png, "m.png", false)), expected);
    }
    // Inverting takes the other colour.
    MaskImage inverted = ReadPngMask(cases[0].png, "m.png", true);
    EXPECT_EQ(inverted.inside[0], 1);
    EXPECT_EQ(inverted.inside[3], 0);
}

TEST(PackMask, UnreadablePicturesAreRefusedWithAReason) {
    auto grey = [](uint32_t, uint32_t, bool in) { return std::vector<uint8_t>{uint8_t(in ? 0 : 255)}; };
    std::vector<uint8_t> good = Png(8, 0, 1, grey);
    std::vector<uint8_t> cut(good.begin(), good.begin() + 40);
    struct Case {
        const char* what;
        std::vector<uint8_t> bytes;
        const char* reason;
    } cases[] = {
        {"interlaced", Png(8, 0, 1, grey, {}, {}, 1), "interlaced PNG masks are not supported"},
        {"cut short", cut, "m.png: "},
        {"16-bit palette", Png(8, 3, 1, grey), "palette PNG without a palette"},
        {"not a picture", std::vector<uint8_t>{'G', 'I', 'F', '8'}, "not a PNG file"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        try {
            ReadPngMask(c.bytes, "m.png", false);
            ADD_FAILURE() << "accepted";
        } catch (const InputError& e) {
            EXPECT_NE(std::string(e.what()).find(c.reason), std::string::npos) << e.what();
        }
    }
    std::vector<uint8_t> bmp = ReadFixture("round.bmp");
    bmp.resize(80);
    EXPECT_THROW(ReadBmpMask(bmp, "m.bmp", false), InputError);
}
