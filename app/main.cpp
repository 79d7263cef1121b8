#include "AppIcon.h"
#include "ProgramInfo.h"
#include "Report.h"
#include "StandardDescriptors.h"
#include "Window.h"
#include "gondavel_wubbix.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <new>
#include <system_error>

namespace {

constexpr const char kUsage[] = R"(Usage: gondavel_wubbix [--help | --version]
Opens a tiny borderless window that hums a drone and flickers with fragments
of its name in random colours. A click on it starts one more instance.

  --help     print this help and exit
  --version  print the version and exit

Any other argument is ignored. An instance ends with Ctrl+W or Alt+F4 on its
window, the window manager's close, SIGINT or SIGTERM, or through the control
tool: gondavel_wubbix-ctl quit PID|all.
)";

// Ends a process whose start-up failed, with `status`. The start-up has
// been unwound, and the roster entry removed with it; a thread it started
// may still wait on the display, so the process ends here rather than
// through static destructors.
[[noreturn]] void Abandon(int status)
{
    fflush(nullptr);
    _exit(status);
}

} // namespace

int main(int argc, char** argv)
{
    SetProgramName(kProgramName);
    if (Result<> opened = OpenStandardDescriptors(); !opened) {
        ReportFailure("open /dev/null", opened.error());
        return 1;
    }
    // Instances launch one another with no arguments; of what a user may
    // pass, only these two are heard, and they open nothing.
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--help") == 0) {
            fputs(kUsage, stdout);
            return 0;
        }
        if (strcmp(argv[i], "--version") == 0) {
            printf("%s %s\n", kProgramName, kProgramVersion);
            return 0;
        }
    }

    // What the program file carries for its windows to show.
    for (int32 size : { 16, 32 })
        BWindow::SetIcon(AppIconPixels(size).data(), size);

    gondavel_wubbix* application = nullptr;
    try {
        application = new gondavel_wubbix();
    } catch (const std::bad_alloc&) {
        ReportFailure("start", "out of memory");
        Abandon(1);
    } catch (const std::system_error& error) {
        // A thread that can't be had: out of memory or over a limit.
        ReportFailure("start", error.code().message());
        Abandon(1);
    }
    // Without a display, which was said, or asked to quit meanwhile.
    if (const Result<>& started = application->InitCheck(); !started)
        Abandon(started.code() == B_INTERRUPTED ? 0 : 1);
    // A window stuck in the display (said) is left to the process's end.
    if (application->Run() < 0)
        Abandon(1);
    delete application;
    return 0;
}
