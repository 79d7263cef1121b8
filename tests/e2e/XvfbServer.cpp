#include "XvfbServer.h"

#include "TestSupport.h"

#include <X11/Xlib.h>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace {

// The display number Xvfb wrote on a line of its own, or -1 so far.
int DisplayNumberIn(const std::string& log)
{
    std::istringstream lines(log);
    std::string line;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.size() < 6
            && line.find_first_not_of("0123456789") == std::string::npos)
            return std::atoi(line.c_str());
    }
    return -1;
}

} // namespace

XvfbServer::XvfbServer(std::chrono::milliseconds startTimeout)
    : fDirectory("gw_xvfb")
{
    std::vector<std::string> environment = { PathVariable(), "HOME=" + fDirectory.Path(),
        "XDG_RUNTIME_DIR=" + fDirectory.Path() };
    // -displayfd 1: Xvfb picks a free display number and prints it on its
    // standard output, which is the log, once it accepts connections.
    std::vector<std::string> argv = { "Xvfb", "-displayfd", "1", "-screen", "0",
        std::to_string(kWidth) + "x" + std::to_string(kHeight) + "x24", "-nolisten", "tcp", "-noreset" };
    fServer = std::make_unique<ChildProcess>(argv, environment, fDirectory.File("xvfb.log"));

    auto deadline = std::chrono::steady_clock::now() + startTimeout;
    while (std::chrono::steady_clock::now() < deadline) {
        int number = DisplayNumberIn(Log());
        if (number >= 0) {
            fDisplay = ":" + std::to_string(number);
            if (::Display* display = XOpenDisplay(fDisplay.c_str())) {
                XCloseDisplay(display);
                return;
            }
        }
        if (!fServer->IsRunning())
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::string log = Log();
    fServer.reset();
    throw std::runtime_error("Xvfb didn't start:\n" + log);
}

XvfbServer::~XvfbServer()
{
    fServer.reset();
}

std::string XvfbServer::Log() const
{
    return ReadFile(fDirectory.File("xvfb.log"));
}

MuteDisplay::MuteDisplay()
{
    for (int number = 1000; number < 1100 && fDisplay.empty(); number++) {
        std::string path = "/tmp/.X11-unix/X" + std::to_string(number);
        if (std::filesystem::exists(path))
            continue;
        sockaddr_un address {};
        address.sun_family = AF_UNIX;
        // Abstract: a name that starts with a zero byte, in no directory.
        memcpy(address.sun_path + 1, path.c_str(), path.size());
        socklen_t length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + path.size());
        int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&address), length) == 0
            && listen(fd, 64) == 0) {
            fSocket = fd;
            fDisplay = ":" + std::to_string(number);
        } else if (fd >= 0) {
            close(fd);
        }
    }
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    std::string path = WaylandDisplay();
    strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    fWaylandSocket = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (bind(fWaylandSocket, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0
        || listen(fWaylandSocket, 64) != 0)
        throw std::runtime_error("no socket for a mute compositor at " + path);
}

bool MuteDisplay::Called() const
{
    pollfd caller { fSocket, POLLIN, 0 };
    return fSocket >= 0 && poll(&caller, 1, 0) == 1;
}

MuteDisplay::~MuteDisplay()
{
    if (fSocket >= 0)
        close(fSocket);
    close(fWaylandSocket);
}
