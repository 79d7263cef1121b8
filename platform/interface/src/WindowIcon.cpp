#include "WindowIcon.h"

#include "Window.h"

#include <mutex>

namespace {

std::mutex gIconsMutex;
// The icon as given, in each size given.
std::vector<X11Window::IconImage> gIcons;
// The sizes windows offer their icon in.
constexpr int32 kIconSizes[] = { 16, 32, 48, 64 };

} // namespace

void BWindow::SetIcon(const uint32* pixels, int32 size)
{
    if (pixels == nullptr || size <= 0)
        return;
    std::lock_guard<std::mutex> guard(gIconsMutex);
    gIcons.push_back({ size, std::vector<uint32>(pixels, pixels + size * size) });
}

std::vector<X11Window::IconImage> WindowIconImages()
{
    std::lock_guard<std::mutex> guard(gIconsMutex);
    std::vector<X11Window::IconImage> images;
    for (int32 size : kIconSizes) {
        // The largest image given that scales to the size by a whole factor.
        const X11Window::IconImage* best = nullptr;
        for (const X11Window::IconImage& icon : gIcons) {
            if (size % icon.size == 0 && (best == nullptr || icon.size > best->size))
                best = &icon;
        }
        if (best == nullptr)
            continue;
        int32 factor = size / best->size;
        X11Window::IconImage image { size, std::vector<uint32>(size * size) };
        for (int32 y = 0; y < size; y++) {
            for (int32 x = 0; x < size; x++)
                image.pixels[y * size + x] = best->pixels[(y / factor) * best->size + x / factor];
        }
        images.push_back(std::move(image));
    }
    return images;
}
