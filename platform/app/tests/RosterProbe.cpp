// A stand-in instance for the roster's end-to-end tests. It registers under
// $GW_PROBE_SIGNATURE, reports what it sees and receives as lines
// "<pid> <event> ...", and runs until SIGTERM (at most a minute). A message
// 'LNCH' makes it launch another instance of its signature with that same
// message; 'LIST' makes it report the count again. It keeps a descriptor
// open that a launched program must not inherit.

#include "LaunchMessage.h"
#include "List.h"
#include "Message.h"
#include "Roster.h"
#include "RosterServer.h"

#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <ctime>
#include <string>

namespace {

void Say(const std::string& text)
{
    std::string line = std::to_string(getpid()) + " " + text + "\n";
    ssize_t ignored = write(STDOUT_FILENO, line.data(), line.size());
    (void)ignored;
}

std::string Describe(const BMessage& message)
{
    char what[16];
    snprintf(what, sizeof(what), "%08x", message.what);
    const char* text = "";
    message.FindString("text", &text);
    int32 number = 0;
    message.FindInt32("number", &number);
    return std::string("what=") + what + " text=" + text + " number=" + std::to_string(number);
}

int Count(const char* signature)
{
    BList list;
    status_t status = be_roster->GetAppList(signature, &list);
    return status == B_OK ? list.CountItems() : status;
}

} // namespace

int main()
{
    std::string descriptors;
    for (int fd = 0; fd < 1024; fd++) {
        if (fcntl(fd, F_GETFD) != -1)
            descriptors += " " + std::to_string(fd);
    }
    Say("fds" + descriptors);
    // Deliberately not close-on-exec, and high enough that the launcher's
    // own descriptors can't reuse its number.
    dup2(open("/dev/null", O_RDONLY), 100);

    // Signals are taken synchronously below, never by the roster's thread.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    sigprocmask(SIG_BLOCK, &stop, nullptr);

    const char* signature = getenv("GW_PROBE_SIGNATURE");
    std::unique_ptr<BMessage> launchMessage = LaunchMessage::Take();
    if (launchMessage != nullptr)
        Say("launched-with " + Describe(*launchMessage));

    auto deliver = [signature](MessageTarget target, const BMessage& message) {
        Say("delivered target=" + std::to_string(static_cast<int>(target)) + " "
            + Describe(message));
        if (message.what == FourCC("LNCH"))
            Say("launch-status " + std::to_string(be_roster->Launch(signature, &message)));
        else if (message.what == FourCC("LIST"))
            Say("count " + std::to_string(Count(signature)));
    };
    auto server = RosterServer::Start(signature, deliver);
    if (!server) {
        Say("not-registered " + std::to_string(server.code()) + " " + server.reason());
        return 1;
    }
    Say("count " + std::to_string(Count(signature)));

    timespec lifetime = { 60, 0 };
    sigtimedwait(&stop, nullptr, &lifetime);
    return 0;
}
