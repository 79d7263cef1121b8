#include "Application.h"

#include "DisplayConnection.h"
#include "InstanceLabel.h"
#include "LaunchMessage.h"
#include "ProcessIdentity.h"
#include "QuitSignals.h"
#include "RegistryStartLock.h"
#include "Report.h"
#include "RosterServer.h"
#include "WindowList.h"

#include <malloc.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <future>
#include <memory>
#include <thread>

BApplication* be_app = nullptr;

namespace {

// How long the display may take to open.
constexpr std::chrono::seconds kDisplayPatience { 10 };

// Opens the display on a thread of its own and waits for it. A display that
// accepts the connection but never answers would hold the start here for
// good, with the quit signals blocked: so a quit signal pending ends the
// wait at once (B_INTERRUPTED), and so does kDisplayPatience passing. The
// thread opening the display is left where it waits, and the program ends
// without meeting it.
Result<> OpenDisplay(Result<> (*open)(), int signalFd)
{
    auto opened = std::make_shared<std::promise<Result<>>>();
    std::future<Result<>> display = opened->get_future();
    std::thread([opened, open] { opened->set_value(open()); }).detach();
    auto deadline = std::chrono::steady_clock::now() + kDisplayPatience;
    while (display.wait_for(std::chrono::milliseconds(50)) != std::future_status::ready) {
        pollfd signals { signalFd, POLLIN, 0 };
        if (signalFd >= 0 && poll(&signals, 1, 0) == 1)
            return Error { B_INTERRUPTED, "asked to quit while the display opened" };
        if (std::chrono::steady_clock::now() >= deadline) {
            std::string seconds = std::to_string(kDisplayPatience.count());
            return Error { B_TIMED_OUT, "the display didn't answer within " + seconds + " s" };
        }
    }
    return display.get();
}

} // namespace

BApplication::BApplication(const char* signature)
    : BLooper(signature),
      fSignature(signature != nullptr ? signature : "")
{
    be_app = this;

    // One heap for all of the process's threads. glibc would give each
    // thread that allocates a heap of its own, and what a thread churns
    // through (a window's first text above all) would then stay resident
    // in it; in the one heap, malloc_trim() gives it back. The threads
    // allocate little once running, so they hardly ever wait for each other.
    mallopt(M_ARENA_MAX, 1);

    // A write to a pipe whose reader has gone (an instance's stderr, shared
    // with every instance it launched), or past the file size limit, fails
    // and is dropped, rather than ending the process.
    signal(SIGPIPE, SIG_IGN);
    signal(SIGXFSZ, SIG_IGN);

    // Blocked before any other thread exists, so every thread inherits the
    // mask and the signals wait in the signalfd for Run() to read.
    sigset_t signals = QuitSignals();
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    fSignalFd = signalfd(-1, &signals, SFD_NONBLOCK | SFD_CLOEXEC);
    fWakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (fSignalFd < 0 || fWakeFd < 0)
        ReportFailure("set up the message loop", strerror(errno));

    // No display, no instance: nothing is registered and nothing plays. The
    // display opens first: registering takes the registry's start lock,
    // which this process then holds until it has counted the instances
    // before it, and no other instance should wait on our display meanwhile.
    const DisplayConnection* connection = ProvidedDisplayConnection();
    if (connection != nullptr) {
        fInitStatus = connection->check();
        if (fInitStatus)
            fInitStatus = OpenDisplay(connection->open, fSignalFd);
        if (!fInitStatus) {
            if (fInitStatus.code() != B_INTERRUPTED)
                ReportFailure("open a window", fInitStatus.error());
            return;
        }
    }

    auto server = RosterServer::Start(fSignature.c_str(),
        [this](MessageTarget target, const BMessage& message) {
            Deliver(static_cast<int>(target), message);
        });
    if (server) {
        fRosterServer = std::move(*server);
    } else if (server.code() == B_INTERRUPTED) {
        fInitStatus = server.error();
        return;
    } else {
        ReportFailure("register with the roster", server.error());
    }

    if (std::unique_ptr<BMessage> launch = LaunchMessage::Take())
        PostMessage(launch.get());
}

BApplication::~BApplication()
{
    fRosterServer.reset();
    if (fSignalFd >= 0)
        close(fSignalFd);
    if (fWakeFd >= 0)
        close(fWakeFd);
    if (be_app == this)
        be_app = nullptr;
}

Result<> BApplication::SetInstanceInfo(const BMessage& info)
{
    if (fRosterServer == nullptr)
        return Error { B_NO_INIT, "the instance isn't registered" };
    return fRosterServer->PublishInfo(info);
}

void BApplication::SetInstanceLabel(const char* label)
{
    InstanceLabel::Set(label != nullptr ? label : "");
}

void BApplication::Deliver(int target, const BMessage& message)
{
    // A message for no window, or for a full queue, goes nowhere; the
    // queue counts what it drops.
    BMessage copy(message);
    if (target == static_cast<int>(MessageTarget::Window))
        static_cast<void>(WindowList::PostToFirst(&copy));
    else
        PostMessage(&copy);
}

thread_id BApplication::Run()
{
    // Whether or not the program counted the instances before it, it has
    // started: the next instance may register.
    RegistryStartLock::Release();
    SetLooperThread(std::this_thread::get_id());
    Lock();
    ReadyToRun();
    Unlock();

    while (!IsQuitting()) {
        // A message goes as soon as it has been handled, as in BLooper.
        BMessage message;
        if (TakeNextMessage(&message)) {
            Lock();
            DispatchMessage(&message, this);
            Unlock();
            continue;
        }
        pollfd fds[2] = { { fWakeFd, POLLIN, 0 }, { fSignalFd, POLLIN, 0 } };
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            ReportFailure("wait for messages", strerror(errno));
            break;
        }
        if ((fds[0].revents & POLLIN) != 0) {
            uint64_t count;
            [[maybe_unused]] ssize_t bytes = read(fWakeFd, &count, sizeof count);
        }
        if ((fds[1].revents & POLLIN) != 0)
            HandleSignals();
    }

    // No more messages from other instances, then no more windows.
    fRosterServer.reset();
    if (Result<> ended = WindowList::QuitAll(); !ended) {
        ReportFailure("close the window", ended.error());
        return ended.code();
    }
    return NextThreadId();
}

void BApplication::HandleSignals()
{
    signalfd_siginfo info;
    while (read(fSignalFd, &info, sizeof info) == static_cast<ssize_t>(sizeof info))
        PostMessage(B_QUIT_REQUESTED);
}

void BApplication::Quit()
{
    SetQuitting();
}

void BApplication::MessageQueued()
{
    uint64_t one = 1;
    if (fWakeFd >= 0)
        [[maybe_unused]]
        ssize_t bytes = write(fWakeFd, &one, sizeof one);
}

void BApplication::ReadyToRun()
{
}

void BApplication::MessageReceived(BMessage*)
{
}

void BApplication::RefsReceived(BMessage*)
{
}

bool BApplication::QuitRequested()
{
    return true;
}

void BApplication::DispatchMessage(BMessage* message, BHandler* handler)
{
    if (message->what == B_REFS_RECEIVED) {
        RefsReceived(message);
        return;
    }
    BLooper::DispatchMessage(message, handler);
}
