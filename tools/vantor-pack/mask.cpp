// BMP and PNG masks to region data.
#include "mask.h"

#include <zlib.h>

#include <cstring>
#include <fstream>

#include "json.h"
#include "port/byte_order.h"

namespace vantor::pack {

namespace {

constexpr uint64_t kMaxPixels = 1ull << 28;

bool Inside(uint32_t r, uint32_t g, uint32_t b, uint32_t alpha, bool invert) {
    if (alpha < 128) return false;
    bool dark = (r * 299 + g * 587 + b * 114) / 1000 < 128;
    return dark != invert;
}

uint32_t Bits(const uint8_t* row, uint32_t index, uint32_t depth) {
    if (depth == 8) return row[index];
    if (depth == 16) return ReadBE16(row + 2 * index) >> 8;
    uint32_t perByte = 8 / depth;
    uint32_t byte = row[index / perByte];
    uint32_t shift = 8 - depth * (index % perByte + 1);
    return (byte >> shift) & ((1u << depth) - 1);
}

}  // namespace

MaskImage ReadBmpMask(const std::vector<uint8_t>& b, const std::string& name, bool invert) {
    auto fail = [&](const std::string& why) -> void { throw InputError(name + ": " + why); };
    if (b.size() < 54 || b[0] != 'B' || b[1] != 'M') fail("not a BMP file");
    uint32_t dataOffset = ReadLE32(&b[10]), headerSize = ReadLE32(&b[14]);
    if (headerSize < 40 || 14 + uint64_t(headerSize) > b.size()) fail("unsupported BMP header");
    int32_t width = int32_t(ReadLE32(&b[18])), height = int32_t(ReadLE32(&b[22]));
    uint16_t depth = ReadLE16(&b[28]);
    uint32_t compression = ReadLE32(&b[30]), colours = ReadLE32(&b[46]);
    if (compression != 0 && !(compression == 3 && depth == 32)) fail("compressed BMP files are not supported");
    if (depth != 1 && depth != 4 && depth != 8 && depth != 24 && depth != 32) fail("unsupported BMP bit depth");
    bool topDown = height < 0;
    uint64_t h = topDown ? uint64_t(-int64_t(height)) : uint64_t(height);
    if (width <= 0 || h == 0 || uint64_t(width) * h > kMaxPixels) fail("bad BMP size");
    MaskImage img;
    img.width = uint32_t(width), img.height = uint32_t(h);
    img.inside.resize(size_t(img.width) * img.height);
    if (depth <= 8 && colours == 0) colours = 1u << depth;
    uint64_t palette = 14 + uint64_t(headerSize);
    if (depth <= 8 && palette + 4ull * colours > b.size()) fail("short BMP palette");
    uint64_t stride = (uint64_t(img.width) * depth + 31) / 32 * 4;
    if (dataOffset + stride * h > b.size()) fail("short BMP pixel data");
    for (uint32_t y = 0; y < img.height; ++y) {
        const uint8_t* row = &b[dataOffset + stride * (topDown ? y : img.height - 1 - y)];
        for (uint32_t x = 0; x < img.width; ++x) {
            uint32_t r, g, bl, a = 255;
            if (depth <= 8) {
                uint32_t index = depth == 8 ? row[x] : Bits(row, x, depth);
                if (index >= colours) fail("a pixel refers to a missing palette colour");
                const uint8_t* c = &b[palette + 4 * index];
                bl = c[0], g = c[1], r = c[2];
            } else {
                const uint8_t* p = row + x * (depth / 8);
                bl = p[0], g = p[1], r = p[2];
            }
            img.inside[size_t(y) * img.width + x] = Inside(r, g, bl, a, invert);
        }
    }
    return img;
}

MaskImage ReadPngMask(const std::vector<uint8_t>& b, const std::string& name, bool invert) {
    auto fail = [&](const std::string& why) -> void { throw InputError(name + ": " + why); };
    static const uint8_t signature[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    if (b.size() < 8 || std::memcmp(b.data(), signature, 8) != 0) fail("not a PNG file");
    uint32_t width = 0, height = 0, depth = 0, type = 0, interlace = 0;
    std::vector<uint8_t> palette, paletteAlpha, idat;
    int32_t transparentGrey = -1;
    uint32_t transparentRgb[3] = {0, 0, 0};
    bool hasTransparentRgb = false, sawHeader = false;
    size_t at = 8;
    for (;;) {
        if (b.size() - at < 12) fail("the file ends before IEND");
        uint32_t length = ReadBE32(&b[at]);
        if (length > b.size() - at - 12) fail("a chunk runs past the end of the file");
        std::string kind(reinterpret_cast<const char*>(&b[at + 4]), 4);
        const uint8_t* data = &b[at + 8];
        if (kind == "IHDR") {
            if (length < 13) fail("short IHDR");
            width = ReadBE32(data), height = ReadBE32(data + 4), depth = data[8], type = data[9], interlace = data[12];
            sawHeader = true;
        } else if (kind == "PLTE") {
            palette.assign(data, data + length);
        } else if (kind == "tRNS") {
            if (type == 3) paletteAlpha.assign(data, data + length);
            if (type == 0 && length >= 2) transparentGrey = ReadBE16(data);
            if (type == 2 && length >= 6)
                hasTransparentRgb = true, transparentRgb[0] = ReadBE16(data), transparentRgb[1] = ReadBE16(data + 2),
                transparentRgb[2] = ReadBE16(data + 4);
        } else if (kind == "IDAT") {
            idat.insert(idat.end(), data, data + length);
        } else if (kind == "IEND") {
            break;
        }
        at += 12 + length;
    }
    if (!sawHeader || width == 0 || height == 0 || uint64_t(width) * height > kMaxPixels) fail("bad PNG size");
    if (interlace != 0) fail("interlaced PNG masks are not supported; save the picture without interlacing");
    uint32_t channels = type == 0 ? 1 : type == 2 ? 3 : type == 3 ? 1 : type == 4 ? 2 : type == 6 ? 4 : 0;
    bool depthOk = (type == 0 && (depth == 1 || depth == 2 || depth == 4 || depth == 8 || depth == 16)) ||
                   (type == 3 && (depth == 1 || depth == 2 || depth == 4 || depth == 8)) ||
                   ((type == 2 || type == 4 || type == 6) && (depth == 8 || depth == 16));
    if (!channels || !depthOk) fail("unsupported PNG colour type or bit depth");
    if (type == 3 && palette.empty()) fail("palette PNG without a palette");

    uint64_t bitsPerPixel = uint64_t(channels) * depth;
    uint64_t stride = (uint64_t(width) * bitsPerPixel + 7) / 8;
    size_t bpp = size_t(std::max<uint64_t>(1, bitsPerPixel / 8));
    std::vector<uint8_t> raw(size_t((stride + 1) * height));
    uLongf rawSize = uLongf(raw.size());
    int result = uncompress(raw.data(), &rawSize, idat.data(), uLong(idat.size()));
    if (result != Z_OK || rawSize != raw.size()) fail("damaged PNG image data");

    std::vector<uint8_t> previous(stride, 0), row(stride);
    MaskImage img;
    img.width = width, img.height = height;
    img.inside.resize(size_t(width) * height);
    uint32_t maxValue = (1u << std::min<uint32_t>(depth, 8)) - 1;
    for (uint32_t y = 0; y < height; ++y) {
        const uint8_t* line = &raw[size_t(y * (stride + 1))];
        uint8_t filter = line[0];
        for (size_t i = 0; i < stride; ++i) {
            uint32_t x = line[1 + i], a = i >= bpp ? row[i - bpp] : 0, up = previous[i], c = i >= bpp ? previous[i - bpp] : 0;
            switch (filter) {
                case 0: break;
                case 1: x += a; break;
                case 2: x += up; break;
                case 3: x += (a + up) / 2; break;
                case 4: {
                    int p = int(a) + int(up) - int(c), pa = std::abs(p - int(a)), pb = std::abs(p - int(up)), pc = std::abs(p - int(c));
                    x += (pa <= pb && pa <= pc) ? a : (pb <= pc ? up : c);
                    break;
                }
                default: fail("bad PNG filter");
            }
            row[i] = uint8_t(x);
        }
        for (uint32_t px = 0; px < width; ++px) {
            uint32_t r, g, bl, alpha = 255;
            auto sample = [&](uint32_t channel) { return Bits(row.data(), px * channels + channel, depth); };
            auto full = [&](uint32_t channel) {  // 16-bit value for transparency keys
                return depth == 16 ? ReadBE16(&row[2 * (px * channels + channel)]) : sample(channel);
            };
            if (type == 3) {
                uint32_t index = sample(0);
                if (3 * index + 2 >= palette.size()) fail("a pixel refers to a missing palette colour");
                r = palette[3 * index], g = palette[3 * index + 1], bl = palette[3 * index + 2];
                if (index < paletteAlpha.size()) alpha = paletteAlpha[index];
            } else if (type == 0 || type == 4) {
                uint32_t v = sample(0) * 255 / maxValue;
                r = g = bl = v;
                if (type == 4) alpha = sample(1) * 255 / maxValue;
                if (type == 0 && transparentGrey >= 0 && full(0) == uint32_t(transparentGrey)) alpha = 0;
            } else {
                r = sample(0), g = sample(1), bl = sample(2);
                if (type == 6) alpha = sample(3);
                if (type == 2 && hasTransparentRgb && full(0) == transparentRgb[0] && full(1) == transparentRgb[1] &&
                    full(2) == transparentRgb[2])
                    alpha = 0;
            }
            img.inside[size_t(y) * width + px] = Inside(r, g, bl, alpha, invert);
        }
        previous = row;
    }
    return img;
}

std::vector<uint8_t> MaskFileFromImage(const MaskImage& image) {
    std::vector<MaskRect> rects;
    size_t bandStart = 0;  // first rectangle of the previous row's band
    std::vector<MaskRect> previousRuns;
    for (uint32_t y = 0; y < image.height; ++y) {
        std::vector<MaskRect> runs;
        const uint8_t* row = &image.inside[size_t(y) * image.width];
        for (uint32_t x = 0; x < image.width;) {
            if (!row[x]) {
                ++x;
                continue;
            }
            uint32_t start = x;
            while (x < image.width && row[x]) ++x;
            runs.push_back({int32_t(start), int32_t(y), int32_t(x), int32_t(y + 1)});
        }
        bool same = !runs.empty() && runs.size() == previousRuns.size();
        for (size_t i = 0; same && i < runs.size(); ++i)
            same = runs[i].left == previousRuns[i].left && runs[i].right == previousRuns[i].right;
        if (same) {
            for (size_t i = bandStart; i < rects.size(); ++i) rects[i].bottom = int32_t(y + 1);
        } else {
            bandStart = rects.size();
            rects.insert(rects.end(), runs.begin(), runs.end());
        }
        previousRuns = std::move(runs);
    }
    MaskRect bound{0, 0, 0, 0};
    for (size_t i = 0; i < rects.size(); ++i) {
        const MaskRect& r = rects[i];
        if (i == 0) bound = r;
        bound.left = std::min(bound.left, r.left), bound.top = std::min(bound.top, r.top);
        bound.right = std::max(bound.right, r.right), bound.bottom = std::max(bound.bottom, r.bottom);
    }
    uint32_t regionSize = 32 + 16 * uint32_t(rects.size());
    std::vector<uint8_t> out(4 + regionSize + 32, 0);
    WriteLE32(&out[0], regionSize + 32);
    uint8_t* h = &out[4];
    WriteLE32(h, 32), WriteLE32(h + 4, 1), WriteLE32(h + 8, uint32_t(rects.size())), WriteLE32(h + 12, 16 * uint32_t(rects.size()));
    WriteLE32(h + 16, uint32_t(bound.left)), WriteLE32(h + 20, uint32_t(bound.top));
    WriteLE32(h + 24, uint32_t(bound.right)), WriteLE32(h + 28, uint32_t(bound.bottom));
    for (size_t i = 0; i < rects.size(); ++i) {
        uint8_t* r = h + 32 + 16 * i;
        WriteLE32(r, uint32_t(rects[i].left)), WriteLE32(r + 4, uint32_t(rects[i].top));
        WriteLE32(r + 8, uint32_t(rects[i].right)), WriteLE32(r + 12, uint32_t(rects[i].bottom));
    }
    return out;
}

bool ParseMaskFile(const std::vector<uint8_t>& b, std::vector<MaskRect>& rects, MaskRect& bound) {
    if (b.size() < 4 + 32) return false;
    uint32_t n = ReadLE32(&b[0]);
    if (n > b.size() - 4 || n < 32 + 32) return false;
    const uint8_t* h = &b[4];
    uint32_t count = ReadLE32(h + 8);
    if (ReadLE32(h) != 32 || ReadLE32(h + 4) != 1 || count > (n - 64) / 16) return false;
    bound = {int32_t(ReadLE32(h + 16)), int32_t(ReadLE32(h + 20)), int32_t(ReadLE32(h + 24)), int32_t(ReadLE32(h + 28))};
    rects.clear();
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t* r = h + 32 + 16 * i;
        rects.push_back({int32_t(ReadLE32(r)), int32_t(ReadLE32(r + 4)), int32_t(ReadLE32(r + 8)), int32_t(ReadLE32(r + 12))});
    }
    return true;
}

std::vector<uint8_t> LoadMaskFile(const std::string& path, bool invert) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw InputError("missing input file " + path);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::string ext = path.size() >= 4 ? path.substr(path.size() - 4) : "";
    for (char& c : ext) c = char(std::tolower(static_cast<unsigned char>(c)));
    if (ext == ".msk") {
        std::vector<MaskRect> rects;
        MaskRect bound;
        if (!ParseMaskFile(bytes, rects, bound)) throw InputError(path + ": not a mask file (u32 length, region data, 32 spare bytes)");
        return bytes;
    }
    if (ext == ".bmp") return MaskFileFromImage(ReadBmpMask(bytes, path, invert));
    if (ext == ".png") return MaskFileFromImage(ReadPngMask(bytes, path, invert));
    throw InputError(path + ": clip-shape masks must be .msk, .bmp or .png files");
}

}  // namespace vantor::pack
