#include "AppIcon.h"
#include "Report.h"
#include "Window.h"
#include "gondavel_wubbix.h"

#include <unistd.h>

#include <cstdio>
#include <new>
#include <system_error>

namespace {

// Ends a process whose start-up failed. The start-up has been unwound, and
// the roster entry removed with it; a window thread it started may still
// run, so the process ends here rather than through static destructors.
[[noreturn]] void Abandon()
{
    fflush(nullptr);
    _exit(1);
}

} // namespace

int main(int, char**)
{
    // What the program file carries for its windows to show.
    for (int32 size : { 16, 32 })
        BWindow::SetIcon(AppIconPixels(size).data(), size);

    gondavel_wubbix* application = nullptr;
    try {
        application = new gondavel_wubbix();
    } catch (const std::bad_alloc&) {
        ReportFailure("start", "out of memory");
        Abandon();
    } catch (const std::system_error& error) {
        // A thread that can't be had: out of memory or over a limit.
        ReportFailure("start", error.code().message());
        Abandon();
    }
    application->Run();
    delete application;
    return 0;
}
