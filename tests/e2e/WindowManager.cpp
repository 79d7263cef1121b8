#include "WindowManager.h"

#include "TestSupport.h"
#include "XClient.h"

#include <X11/Xatom.h>

#include <signal.h>

using namespace std::chrono_literals;

WindowManager::WindowManager(const std::string& display)
    : fDisplay(display)
{
    fProcess = std::make_unique<ChildProcess>(std::vector<std::string> { "openbox", "--sm-disable" },
        std::vector<std::string> { "PATH=/usr/bin:/bin", "DISPLAY=" + display,
            "HOME=" + fHome.Path() },
        fHome.File("openbox.log"));
}

WindowManager::~WindowManager()
{
    kill(fProcess->Pid(), SIGCONT);
    fProcess.reset();
}

testing::AssertionResult WindowManager::Runs() const
{
    XClient x(fDisplay);
    Display* display = x.Get();
    auto named = [&] {
        Atom type = 0;
        int format = 0;
        unsigned long items = 0, after = 0;
        unsigned char* data = nullptr;
        bool found = XGetWindowProperty(display, DefaultRootWindow(display),
                         XInternAtom(display, "_NET_SUPPORTING_WM_CHECK", False), 0, 1, False,
                         XA_WINDOW, &type, &format, &items, &after, &data)
                == Success
            && items == 1;
        if (data != nullptr)
            XFree(data);
        return found;
    };
    if (display != nullptr && WaitUntil(named, 10s))
        return testing::AssertionSuccess();
    return testing::AssertionFailure() << "openbox isn't running:\n"
                                       << ReadFile(fHome.File("openbox.log"));
}

void WindowManager::Stop()
{
    kill(fProcess->Pid(), SIGSTOP);
}
