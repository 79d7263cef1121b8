#include "WestonServer.h"

#include "TestSupport.h"

#include <filesystem>
#include <stdexcept>

WestonServer::WestonServer(const std::string& x, std::chrono::milliseconds startTimeout)
{
    std::vector<std::string> environment = { "PATH=/usr/bin:/bin", "HOME=" + fDirectory.Path(),
        "XDG_RUNTIME_DIR=" + fDirectory.Path(), "DISPLAY=" + x };
    std::vector<std::string> argv = { "weston", "--backend=x11-backend.so", "--use-pixman",
        std::string("--socket=") + kSocket, "--idle-time=0" };
    fServer = std::make_unique<ChildProcess>(argv, environment, fDirectory.File("weston.log"));
    auto listensOrEnded = [&] { return std::filesystem::is_socket(Display()) || !fServer->IsRunning(); };
    if (WaitUntil(listensOrEnded, startTimeout) && fServer->IsRunning())
        return;
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
