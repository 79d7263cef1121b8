#pragma once

// A window manager for end-to-end tests: openbox on a test's own X server,
// with a home of its own. It can be stopped (SIGSTOP), as a window manager
// that hangs is; it is let go on and killed when the object goes away.

#include "ChildProcess.h"
#include "TempDirectory.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

class WindowManager {
public:
    explicit WindowManager(const std::string& display);
    ~WindowManager();

    WindowManager(const WindowManager&) = delete;
    WindowManager& operator=(const WindowManager&) = delete;

    // Whether openbox has taken over the display within 10 seconds (it
    // names itself on the root window); if not, its log.
    testing::AssertionResult Runs() const;
    // Stops it where it is: it answers nothing from now on.
    void Stop();

private:
    std::string fDisplay;
    TempDirectory fHome { "gw_openbox" };
    std::unique_ptr<ChildProcess> fProcess;
};
