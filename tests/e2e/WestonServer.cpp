#include "WestonServer.h"

#include "TestSupport.h"

#include <filesystem>
#include <stdexcept>

WestonServer::WestonServer(const std::string& x, int scale, std::chrono::milliseconds startTimeout)
{
    std::vector<std::string> environment = { "PATH=/usr/bin:/bin", "HOME=" + fDirectory.Path(),
        "XDG_RUNTIME_DIR=" + fDirectory.Path(), "DISPLAY=" + x };
    // A shell client that draws nothing: no background, no panel and no
    // pointer, only the clients' windows on black. (Where a window was,
    // it stays drawn until another covers the place.)
    WriteFile(fDirectory.File("shell"), "#!/bin/sh\nexec sleep 3600\n");
    std::filesystem::permissions(fDirectory.File("shell"), std::filesystem::perms::owner_all);
    // Windows come and go at once, with no animation.
    WriteFile(fDirectory.File("weston.ini"),
        "[shell]\nclient=" + fDirectory.File("shell")
            + "\nanimation=none\nclose-animation=none\nstartup-animation=none\n");
    std::vector<std::string> argv = { "weston", "--backend=x11-backend.so", "--use-pixman",
        std::string("--socket=") + kSocket, "--idle-time=0", "--width=480", "--height=320",
        "--scale=" + std::to_string(scale), "--config=" + fDirectory.File("weston.ini") };
    fServer = std::make_unique<ChildProcess>(argv, environment, fDirectory.File("weston.log"));
    auto listensOrEnded = [&] { return std::filesystem::is_socket(Display()) || !fServer->IsRunning(); };
    if (WaitUntil(listensOrEnded, startTimeout) && fServer->IsRunning()) {
        fX = std::make_unique<XClient>(x);
        auto shown = [&] {
            std::vector<Window> windows = fX->TopLevelWindows();
            fOutput = windows.empty() ? 0 : windows.front();
            return fOutput != 0;
        };
        if (WaitUntil(shown, startTimeout))
            return;
    }
    std::string log = Log();
    fServer.reset();
    throw std::runtime_error("weston didn't start:\n" + log);
}

WestonServer::~WestonServer()
{
    fServer.reset();
}

std::string WestonServer::Log() const
{
    return ReadFile(fDirectory.File("weston.log"));
}

std::vector<std::array<int, 4>> WestonServer::Frames()
{
    std::array<int, 4> output = fX->Frame(fOutput);
    int width = output[2];
    int height = output[3];
    std::vector<unsigned long> pixels = fX->Pixels(fOutput, width, height);
    std::vector<std::array<int, 4>> frames;
    std::vector<std::array<int, 2>> patch;
    // Each patch of touching pixels that aren't black, flooded and blacked
    // out in turn.
    for (int start = 0; start < static_cast<int>(pixels.size()); start++) {
        if (pixels[start] == 0)
            continue;
        int left = width, top = height, right = -1, bottom = -1;
        patch = { { start % width, start / width } };
        pixels[start] = 0;
        while (!patch.empty()) {
            auto [x, y] = patch.back();
            patch.pop_back();
            left = std::min(left, x), right = std::max(right, x);
            top = std::min(top, y), bottom = std::max(bottom, y);
            for (auto [dx, dy] : { std::array<int, 2> { 1, 0 }, { -1, 0 }, { 0, 1 }, { 0, -1 } }) {
                int nx = x + dx, ny = y + dy;
                if (nx >= 0 && ny >= 0 && nx < width && ny < height && pixels[ny * width + nx] != 0) {
                    pixels[ny * width + nx] = 0;
                    patch.push_back({ nx, ny });
                }
            }
        }
        frames.push_back({ left, top, right - left + 1, bottom - top + 1 });
    }
    return frames;
}

void WestonServer::Click(std::array<int, 2> where)
{
    std::array<int, 4> output = fX->Frame(fOutput);
    fX->Click({ output[0] + where[0], output[1] + where[1] });
}

void WestonServer::PressKey(KeySym key)
{
    fX->PressKey(key);
}
