// Writes the program's icon files for an icon theme from its pixel art: PNGs
// at 16, 32, 48, 64, 128 and 256 pixels, the larger ones the art scaled up by
// whole factors with nearest-neighbour so its pixels stay sharp, and the
// 32 pixel art as an SVG, one path per colour.
//
// usage: icon_files DIR
// writes DIR/<N>x<N>/gondavel_wubbix.png and DIR/scalable/gondavel_wubbix.svg

#include "AppIcon.h"
#include "ProgramInfo.h"

#include <png.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

namespace {

constexpr const char* kName = kProgramName;

// Each PNG's side and the side of the art it is scaled up from.
struct PngSize {
    int32 side;
    int32 art;
};

constexpr PngSize kPngSizes[] = { { 16, 16 }, { 32, 32 }, { 48, 16 }, { 64, 32 }, { 128, 32 },
    { 256, 32 } };

// The art the SVG draws, and the size it asks to be shown at.
constexpr int32 kSvgArt = 32;
constexpr int32 kSvgSide = 256;

[[noreturn]] void Fail(const std::string& what)
{
    fprintf(stderr, "icon_files: %s\n", what.c_str());
    exit(1);
}

void PrintUsage(FILE* to)
{
    fprintf(to,
        "usage: icon_files DIR\n"
        "Writes the program's icon as DIR/<N>x<N>/%s.png for N = 16, 32, 48, 64,\n"
        "128 and 256, and as DIR/scalable/%s.svg.\n",
        kName, kName);
}

// Makes `dir` and the directories above it that are missing.
void MakeDirectory(const std::filesystem::path& dir)
{
    std::error_code error;
    std::filesystem::create_directories(dir, error);
    if (error)
        Fail("couldn't make the directory " + dir.string() + ": " + error.message());
}

void WritePng(const std::filesystem::path& dir, PngSize size)
{
    std::vector<uint32> art = AppIconPixels(size.art);
    int32 scale = size.side / size.art;
    size_t stride = static_cast<size_t>(size.side) * 4;
    std::vector<uint8_t> rgba(stride * size.side);
    for (int32 y = 0; y < size.side; y++) {
        uint8_t* out = &rgba[y * stride];
        for (int32 x = 0; x < size.side; x++) {
            uint32 pixel = art[static_cast<size_t>(y / scale) * size.art + x / scale];
            *out++ = static_cast<uint8_t>(pixel >> 16);
            *out++ = static_cast<uint8_t>(pixel >> 8);
            *out++ = static_cast<uint8_t>(pixel);
            *out++ = static_cast<uint8_t>(pixel >> 24);
        }
    }

    std::string side = std::to_string(size.side);
    std::filesystem::path sizeDir = dir / (side + "x" + side);
    MakeDirectory(sizeDir);
    std::string file = (sizeDir / (std::string(kName) + ".png")).string();

    png_image png;
    memset(&png, 0, sizeof png);
    png.version = PNG_IMAGE_VERSION;
    png.width = static_cast<png_uint_32>(size.side);
    png.height = static_cast<png_uint_32>(size.side);
    png.format = PNG_FORMAT_RGBA;
    if (!png_image_write_to_file(&png, file.c_str(), 0, rgba.data(),
            static_cast<png_int_32>(stride), nullptr))
        Fail("couldn't write " + file + ": " + png.message);
    png_image_free(&png);
}

// The SVG draws each colour as one path of rectangles, one per run of that
// colour in a row, in the order the colours first appear; the art's pixels
// are opaque or transparent, and transparent ones are left out. The same art always gives the same text.
std::string SvgText()
{
    std::vector<uint32> art = AppIconPixels(kSvgArt);
    std::vector<uint32> colors;
    std::vector<std::string> paths;
    for (int32 y = 0; y < kSvgArt; y++) {
        const uint32* row = &art[static_cast<size_t>(y) * kSvgArt];
        for (int32 x = 0; x < kSvgArt;) {
            uint32 color = row[x];
            int32 run = 1;
            while (x + run < kSvgArt && row[x + run] == color)
                run++;
            if ((color >> 24) != 0) {
                size_t index = 0;
                while (index < colors.size() && colors[index] != color)
                    index++;
                if (index == colors.size()) {
                    colors.push_back(color);
                    paths.emplace_back();
                }
                paths[index] += "M" + std::to_string(x) + " " + std::to_string(y) + "h"
                    + std::to_string(run) + "v1h-" + std::to_string(run) + "z";
            }
            x += run;
        }
    }

    std::string side = std::to_string(kSvgSide);
    std::string artSide = std::to_string(kSvgArt);
    std::string text = "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + side
        + "\" height=\"" + side + "\" viewBox=\"0 0 " + artSide + " " + artSide
        + "\" shape-rendering=\"crispEdges\">\n";
    for (size_t i = 0; i < colors.size(); i++) {
        char fill[8];
        snprintf(fill, sizeof fill, "#%06x", colors[i] & 0xffffff);
        text += std::string("<path fill=\"") + fill + "\" d=\"" + paths[i] + "\"/>\n";
    }
    text += "</svg>\n";
    return text;
}

void WriteSvg(const std::filesystem::path& dir)
{
    std::filesystem::path svgDir = dir / "scalable";
    MakeDirectory(svgDir);
    std::string file = (svgDir / (std::string(kName) + ".svg")).string();
    std::string text = SvgText();
    FILE* out = fopen(file.c_str(), "wb");
    if (out == nullptr)
        Fail("couldn't write " + file + ": " + strerror(errno));
    bool written = fwrite(text.data(), 1, text.size(), out) == text.size();
    // Closing flushes what is still buffered, so it can fail too.
    if (fclose(out) != 0 || !written)
        Fail("couldn't write " + file + ": " + strerror(errno));
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 2 && strcmp(argv[1], "--help") == 0) {
        PrintUsage(stdout);
        return 0;
    }
    if (argc != 2 || argv[1][0] == '-' || argv[1][0] == '\0') {
        PrintUsage(stderr);
        fprintf(stderr, "icon_files: expected one directory to write into\n");
        return 2;
    }

    std::filesystem::path dir = argv[1];
    for (PngSize size : kPngSizes)
        WritePng(dir, size);
    WriteSvg(dir);
    return 0;
}
