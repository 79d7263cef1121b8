// A stand-in instance for the roster's end-to-end tests. It registers under
// $GW_PROBE_SIGNATURE, reports what it sees and receives as lines
// "<pid> <event> ...", and runs until SIGTERM (at most a minute). A message
// 'LNCH' makes it launch another instance of its signature with that same
// message; 'LIST' makes it report the count again. It keeps a descriptor
// open that a launched program must not inherit. A request 'SNAP' gets a
// reply 'SNAP' with `number` raw bytes (byte i is i % 251), answered twice;
// 'HOLD' is kept unanswered until a message 'FREE'; other requests go
// unanswered. Requests are answered on a looper's thread.

#include "LaunchMessage.h"
#include "List.h"
#include "Looper.h"
#include "Message.h"
#include "Roster.h"
#include "RosterServer.h"

#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

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

// Answers requests 'SNAP' on a thread of its own.
class Answerer : public BLooper {
public:
    void MessageReceived(BMessage* request) override
    {
        int32 size = 0;
        if (!request->IsSourceWaiting() || request->what != FourCC("SNAP")
            || request->FindInt32("number", &size) != B_OK)
            return;
        std::vector<uint8> bytes(static_cast<size_t>(size));
        for (size_t i = 0; i < bytes.size(); i++)
            bytes[i] = static_cast<uint8>(i % 251);
        BMessage reply(FourCC("SNAP"));
        reply.AddData("bytes", B_RAW_TYPE, bytes.data(), size);
        status_t first = request->SendReply(reply).code();
        Say("reply-status " + std::to_string(first) + " again "
            + std::to_string(request->SendReply(reply).code()));
    }
};

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

    BLooper* answerer = new Answerer;
    answerer->Run();
    std::vector<BMessage> held;
    auto deliver = [signature, answerer, &held](MessageTarget target, const BMessage& message) {
        Say("delivered target=" + std::to_string(static_cast<int>(target)) + " "
            + Describe(message));
        BMessage copy(message);
        if (message.what == FourCC("HOLD"))
            held.push_back(message);
        else if (message.what == FourCC("FREE"))
            held.clear();
        else
            answerer->PostMessage(&copy);
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
    // No more deliveries, then no more answers.
    server->reset();
    answerer->Lock();
    answerer->Quit();
    return 0;
}
