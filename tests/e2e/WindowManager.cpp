#include "WindowManager.h"

#include <signal.h>

WindowManager::WindowManager(const std::string& display)
    : fProcess(std::make_unique<ChildProcess>(std::vector<std::string> { "openbox", "--sm-disable" },
        std::vector<std::string> { "PATH=/usr/bin:/bin", "DISPLAY=" + display,
            "HOME=" + fHome.Path() },
        fHome.File("openbox.log")))
{
}

WindowManager::~WindowManager()
{
    kill(fProcess->Pid(), SIGCONT);
}

void WindowManager::Stop()
{
    kill(fProcess->Pid(), SIGSTOP);
}
