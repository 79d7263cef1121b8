// Saves the root window of an X display, or a rectangle of it, as a PNG,
// scaled up by a whole factor with nearest-neighbour so that windows a few
// pixels wide can be seen. The rectangle is clipped to the screen.
//
// usage: snapshot [--display NAME] [--rect X,Y,W,H] [--scale N] OUT.png

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <png.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr int kMaxScale = 32;

struct Options {
    const char* display = nullptr; // nullptr: $DISPLAY
    bool haveRect = false;
    int x = 0, y = 0, width = 0, height = 0;
    int scale = 1;
    const char* output = nullptr;
};

[[noreturn]] void Fail(const std::string& what)
{
    fprintf(stderr, "snapshot: %s\n", what.c_str());
    exit(1);
}

void PrintUsage(FILE* to)
{
    fprintf(to,
        "usage: snapshot [--display NAME] [--rect X,Y,W,H] [--scale N] OUT.png\n"
        "Saves the screen, or the rectangle X,Y,W,H of it, as a PNG, each pixel\n"
        "drawn as an N by N square (N = 1 ... %d, default 1).\n",
        kMaxScale);
}

Options ParseOptions(int argc, char** argv)
{
    Options options;
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        bool hasValue = i + 1 < argc;
        if (arg == "--help") {
            PrintUsage(stdout);
            exit(0);
        } else if (arg == "--display" && hasValue) {
            options.display = argv[++i];
        } else if (arg == "--rect" && hasValue) {
            const char* text = argv[++i];
            int used = 0;
            if (sscanf(text, "%d,%d,%d,%d%n", &options.x, &options.y, &options.width,
                    &options.height, &used)
                    != 4
                || text[used] != '\0' || options.width <= 0 || options.height <= 0)
                Fail(std::string("couldn't read the rectangle '") + text
                    + "': expected X,Y,W,H with W and H above 0");
            options.haveRect = true;
        } else if (arg == "--scale" && hasValue) {
            const char* text = argv[++i];
            char* end = nullptr;
            long scale = strtol(text, &end, 10);
            if (end == text || *end != '\0' || scale < 1 || scale > kMaxScale)
                Fail(std::string("couldn't read the scale '") + text + "': expected 1 ... "
                    + std::to_string(kMaxScale));
            options.scale = static_cast<int>(scale);
        } else if (arg.size() > 1 && arg[0] == '-') {
            PrintUsage(stderr);
            Fail("couldn't understand '" + arg + "'" + (hasValue ? "" : " (missing value?)"));
        } else if (options.output == nullptr) {
            options.output = argv[i];
        } else {
            Fail("couldn't understand '" + arg + "': only one output file");
        }
    }
    if (options.output == nullptr) {
        PrintUsage(stderr);
        Fail("couldn't save: no output file given");
    }
    return options;
}

// XGetImage reports a bad rectangle through the error handler, whose default
// ends the process with several lines; this one keeps the message for us.
char gXError[256];

int KeepError(Display* display, XErrorEvent* event)
{
    XGetErrorText(display, event->error_code, gXError, sizeof gXError);
    return 0;
}

// Where in an 8-bit channel the bits of `mask` land.
uint8_t Channel(unsigned long pixel, unsigned long mask)
{
    if (mask == 0)
        return 0;
    int shift = __builtin_ctzl(mask);
    unsigned long value = (pixel & mask) >> shift;
    unsigned long top = mask >> shift;
    return static_cast<uint8_t>(value * 255 / top);
}

} // namespace

int main(int argc, char** argv)
{
    Options options = ParseOptions(argc, argv);

    Display* display = XOpenDisplay(options.display);
    if (display == nullptr)
        Fail(std::string("couldn't open display ")
            + (options.display != nullptr ? options.display : XDisplayName(nullptr)));
    XSetErrorHandler(KeepError);

    Window root = DefaultRootWindow(display);
    XWindowAttributes rootAttributes;
    if (!XGetWindowAttributes(display, root, &rootAttributes))
        Fail("couldn't read the root window's size");

    int left = 0, top = 0, right = rootAttributes.width, bottom = rootAttributes.height;
    if (options.haveRect) {
        left = std::max(options.x, 0);
        top = std::max(options.y, 0);
        right = std::min(options.x + options.width, rootAttributes.width);
        bottom = std::min(options.y + options.height, rootAttributes.height);
        if (right <= left || bottom <= top)
            Fail("couldn't capture the rectangle: it lies outside the "
                + std::to_string(rootAttributes.width) + "x"
                + std::to_string(rootAttributes.height) + " screen");
    }
    int width = right - left;
    int height = bottom - top;

    XImage* image = XGetImage(display, root, left, top, static_cast<unsigned>(width),
        static_cast<unsigned>(height), AllPlanes, ZPixmap);
    if (image == nullptr)
        Fail(std::string("couldn't read the screen: ") + (gXError[0] ? gXError : "no image"));
    if (image->red_mask == 0 && image->green_mask == 0 && image->blue_mask == 0)
        Fail("couldn't read the screen: only true-colour visuals are supported");

    int scale = options.scale;
    std::vector<uint8_t> rgb(static_cast<size_t>(width) * scale * height * scale * 3);
    size_t stride = static_cast<size_t>(width) * scale * 3;
    for (int y = 0; y < height; y++) {
        uint8_t* row = &rgb[static_cast<size_t>(y) * scale * stride];
        for (int x = 0; x < width; x++) {
            unsigned long pixel = XGetPixel(image, x, y);
            uint8_t color[3] = { Channel(pixel, image->red_mask),
                Channel(pixel, image->green_mask), Channel(pixel, image->blue_mask) };
            for (int copy = 0; copy < scale; copy++)
                memcpy(&row[(static_cast<size_t>(x) * scale + copy) * 3], color, 3);
        }
        // The rest of this pixel row's lines repeat its first line.
        for (int line = 1; line < scale; line++)
            memcpy(row + line * stride, row, stride);
    }
    XDestroyImage(image);
    XCloseDisplay(display);

    png_image png;
    memset(&png, 0, sizeof png);
    png.version = PNG_IMAGE_VERSION;
    png.width = static_cast<png_uint_32>(width * scale);
    png.height = static_cast<png_uint_32>(height * scale);
    png.format = PNG_FORMAT_RGB;
    if (!png_image_write_to_file(&png, options.output, 0, rgb.data(),
            static_cast<png_int_32>(stride), nullptr))
        Fail(std::string("couldn't write ") + options.output + ": " + png.message);
    png_image_free(&png);
    return 0;
}
