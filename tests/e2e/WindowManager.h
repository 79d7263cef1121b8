#pragma once

// openbox on a test's own X server, with a home of its own. Stop() makes it
// hang (SIGSTOP); it is let go on and killed when the object goes away.

#include "ChildProcess.h"
#include "TempDirectory.h"

#include <memory>
#include <string>

class WindowManager {
public:
    explicit WindowManager(const std::string& display);
    ~WindowManager();

    WindowManager(const WindowManager&) = delete;
    WindowManager& operator=(const WindowManager&) = delete;

    void Stop();

private:
    TempDirectory fHome { "gw_openbox" };
    std::unique_ptr<ChildProcess> fProcess;
};
