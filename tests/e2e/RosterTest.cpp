// The roster between real processes: instances of a probe program register
// in a private registry ($XDG_RUNTIME_DIR of the test's own), list each
// other, launch one another and exchange messages over their sockets.

#include "InstanceProcesses.h"
#include "ProgramLines.h"
#include "Session.h"
#include "TestSupport.h"
#include "ThrowawayUser.h"

#include "List.h"
#include "Message.h"
#include "Messenger.h"
#include "Roster.h"

#include <gtest/gtest.h>

#include <grp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

constexpr const char* kSignature = "application/x-vnd.gw-roster-probe";

// A packet for a message socket: the receiver's byte, then `body`.
std::vector<uint8> Packet(uint8 receiver, std::vector<uint8> body)
{
    body.insert(body.begin(), receiver);
    return body;
}

BMessage TextMessage(const char (&what)[5], const char* text, int32 number)
{
    BMessage message(FourCC(what));
    message.AddString("text", text);
    message.AddInt32("number", number);
    return message;
}

// Whether `reply` holds `size` bytes i % 251, as the probe makes them.
bool HasProbeBytes(const BMessage& reply, ssize_t size)
{
    const void* data = nullptr;
    ssize_t found = -1;
    bool same = reply.FindData("bytes", B_RAW_TYPE, &data, &found) == B_OK && found == size;
    for (ssize_t i = 0; same && i < size; ++i)
        same = static_cast<const uint8*>(data)[i] == i % 251;
    return same;
}

// Probes in a session with no display and no sound server; the test
// process shares their registry.
class Roster : public SessionTest {
protected:
    Roster() : SessionTest(XServer::Absent, Sound::Absent) {}

    // Starts a probe as the session's next instance.
    pid_t StartProbe(const std::string& signature = kSignature,
        const std::string& program = kRosterProbePath, const std::string& runtime = {})
    {
        S().JoinFromThisProcess();
        std::vector<std::string> changes = { "GW_PROBE_SIGNATURE=" + signature };
        if (!runtime.empty())
            changes.push_back("XDG_RUNTIME_DIR=" + runtime);
        return S().StartInstance(changes, { program }).Pid();
    }
    bool Says(size_t n, const std::string& text) const { return S().Says(n, text, 20s); }
    // The count the n-th probe reported when it registered, or -1.
    int RegisteredCount(size_t n) const
    {
        std::string prefix = std::to_string(S().Instance(n).Pid()) + " count ";
        if (!Says(n, prefix))
            return -1;
        std::string text = S().Output(n);
        return atoi(text.c_str() + text.find(prefix) + prefix.size());
    }
    status_t Send(size_t n, MessageTarget target, const BMessage& message,
        const std::string& signature = kSignature) const
    {
        return BMessenger(signature.c_str(), S().Instance(n).Pid(), target).SendMessage(message).code();
    }

    // Asks the n-th probe `what` for `number` bytes, and waits for the reply.
    Result<BMessage> Request(size_t n, const char (&what)[5], int32 number) const
    {
        return BMessenger(kSignature, S().Instance(n).Pid(), MessageTarget::Window)
            .SendMessage(TextMessage(what, "", number), 5000000, 20000000);
    }

    // Whether the probe `pid` has its lock and its socket in the registry.
    bool HasEntry(pid_t pid) const
    {
        return fs::exists(S().RegistryFile(pid, ".lock"))
            && fs::exists(S().RegistryFile(pid, ".sock"));
    }

    static std::vector<pid_t> List(const std::string& signature = kSignature)
    {
        BList list;
        EXPECT_EQ(be_roster->GetAppList(signature.c_str(), &list), B_OK);
        std::vector<pid_t> pids;
        for (int32 i = 0; i < list.CountItems(); ++i)
            pids.push_back(static_cast<pid_t>(reinterpret_cast<intptr_t>(list.ItemAt(i))));
        return pids;
    }
};

TEST_F(Roster, InstancesStartedTogetherAllRegisterAndAKilledOneDropsOutAtOnce)
{
    std::vector<pid_t> live;
    for (int i = 0; i < 10; ++i)
        live.push_back(StartProbe());
    for (size_t n = 0; n < 10; ++n) {
        int count = RegisteredCount(n);
        EXPECT_GE(count, 1) << S().Output(n);
        EXPECT_LE(count, 10);
    }
    std::sort(live.begin(), live.end());
    EXPECT_EQ(List(), live);

    pid_t dead = S().Instance(4).Pid();
    ASSERT_TRUE(HasEntry(dead));
    S().Instance(4).Stop(SIGKILL);
    live.erase(std::find(live.begin(), live.end(), dead));
    EXPECT_EQ(List(), live);
    EXPECT_EQ(S().RegistryFilesOf(dead), std::set<std::string> {});
    for (size_t n = 0; n < 10; ++n) {
        pid_t pid = S().Instance(n).Pid();
        if (pid == dead)
            continue;
        EXPECT_TRUE(HasEntry(pid));
        EXPECT_EQ(Send(n, MessageTarget::Application, BMessage(FourCC("LIST"))), B_OK);
        EXPECT_TRUE(Says(n, std::to_string(pid) + " count 9")) << S().Output(n);
    }
    EXPECT_EQ(List(), live);
}

TEST_F(Roster, LaunchStartsADetachedInstanceWithTheMessageUntilTheExecutableIsGone)
{
    S().JoinFromThisProcess();
    EXPECT_EQ(be_roster->Launch("application/x-vnd.gw-never-registered"), B_ENTRY_NOT_FOUND);
    std::string copy = S().Runtime().File("probe-copy");
    fs::copy_file(kRosterProbePath, copy);
    pid_t launcher = StartProbe(kSignature, copy);
    ASSERT_EQ(RegisteredCount(0), 1);
    ASSERT_EQ(Send(0, MessageTarget::Application, TextMessage("LNCH", "from the launcher", 42)), B_OK);
    ASSERT_TRUE(Says(0, "launch-status 0")) << S().Output();
    // The new instance writes to the launcher's output.
    ASSERT_TRUE(Says(0, "launched-with what=4c4e4348 text=from the launcher number=42"))
        << S().Output();
    std::string text = S().Output();
    pid_t child = atoi(text.c_str() + text.rfind('\n', text.find("launched-with")) + 1);
    std::shared_ptr<void> killChild(nullptr, [child](void*) { kill(child, SIGKILL); });
    ASSERT_TRUE(Says(0, std::to_string(child) + " count 2")) << text;
    std::vector<pid_t> both = { launcher, child };
    std::sort(both.begin(), both.end());
    EXPECT_EQ(List(), both);

    // The probe holds a descriptor open across exec; the launched one must not get it.
    EXPECT_NE(text.find(std::to_string(child) + " fds 0 1 2\n"), std::string::npos) << text;
    // A session of its own, started by a short-lived intermediate process.
    EXPECT_NE(SessionOf(child), SessionOf(launcher));
    EXPECT_NE(SessionOf(child), getsid(0));
    EXPECT_NE(Parent(child), launcher);
    // The launcher is left with no child at all, zombie or otherwise.
    EXPECT_EQ(ChildrenOf(launcher), std::vector<pid_t> {});

    // Once the program file is deleted, neither the instance itself nor
    // anyone else can start it.
    ASSERT_EQ(unlink(copy.c_str()), 0);
    ASSERT_EQ(Send(0, MessageTarget::Application, TextMessage("LNCH", "never", 1)), B_OK);
    EXPECT_TRUE(Says(0, "launch-status " + std::to_string(B_ENTRY_NOT_FOUND))) << S().Output();
    EXPECT_EQ(be_roster->Launch(kSignature), B_ENTRY_NOT_FOUND);
    EXPECT_EQ(List().size(), 2u);
}

TEST_F(Roster, MessagesArriveForEitherTargetWhileBadAndIdlePeersAreDropped)
{
    pid_t probe = StartProbe();
    ASSERT_EQ(RegisteredCount(0), 1);
    std::string socket = S().RegistryFile(probe, ".sock");
    // More idle connections than the server keeps: senders still get through.
    std::vector<int> idle;
    for (int i = 0; i < 20; ++i) {
        idle.push_back(ConnectToSocket(socket));
        ASSERT_GE(idle.back(), 0);
    }
    EXPECT_TRUE(SendPacket(socket, Packet(7, TextMessage("BADT", "x", 1).Flatten())));
    EXPECT_TRUE(SendPacket(socket, Packet(0, { 0xde, 0xad, 0xbe, 0xef, 0xff, 0xff, 0xff, 0xff })));
    EXPECT_TRUE(SendPacket(socket, Packet(0, std::vector<uint8>(4999, 0))));
    EXPECT_TRUE(Says(0, "it is too large (5000 bytes)"));
    EXPECT_TRUE(Says(0, "it is for an unknown target (7)"));
    EXPECT_TRUE(Says(0, "roster_probe: " + kRefusedMessage + "it is malformed"));

    EXPECT_EQ(Send(0, MessageTarget::Window, TextMessage("TEST", "over the wire", -7)), B_OK);
    EXPECT_EQ(Send(0, MessageTarget::Application, TextMessage("APPL", "", 2147483647)), B_OK);
    EXPECT_TRUE(Says(0, "delivered target=1 what=54455354 text=over the wire number=-7"));
    EXPECT_TRUE(Says(0, "delivered target=0 what=4150504c text= number=2147483647"));
    std::string text = S().Output();
    EXPECT_EQ(CountOf(text, "roster_probe: " + kRefusedMessage), 3u) << text;
    EXPECT_EQ(CountOf(text, "delivered"), 2u) << text;
    EXPECT_EQ(BMessenger(kSignature, 999999999, MessageTarget::Window).SendMessage(BMessage(1)).code(),
        B_ENTRY_NOT_FOUND);

    // The last idle connection is closed by the server within a few seconds.
    pollfd item = { idle.back(), POLLIN, 0 };
    EXPECT_EQ(poll(&item, 1, 15000), 1);
    char byte;
    EXPECT_EQ(recv(idle.back(), &byte, 1, MSG_DONTWAIT), 0);
    for (int fd : idle)
        close(fd);
}

TEST_F(Roster, AFloodOfBadPacketsAndIdlePeersGivesAFewLinesWithACount)
{
    pid_t probe = StartProbe();
    ASSERT_EQ(RegisteredCount(0), 1);
    std::string socket = S().RegistryFile(probe, ".sock");
    for (int i = 0; i < 500; ++i)
        ASSERT_TRUE(SendPacket(socket, { 7 }));
    std::vector<int> idle;
    for (int i = 0; i < 40; ++i)
        idle.push_back(ConnectToSocket(socket));
    // A line of each kind (which kinds depends on how the server takes the
    // connections in), then its count when the interval after it ends.
    EXPECT_TRUE(WaitUntil([&] { return CountOf(S().Output(), " more times in 10 s)\n") > 0; }, 20s))
        << S().Output();
    std::vector<std::string> lines = LinesStartingWith(S().Output(), "roster_probe: couldn't ");
    EXPECT_GE(lines.size(), 2u);
    EXPECT_LE(lines.size(), 4u) << S().Output();
    for (int fd : idle)
        close(fd);
}

TEST_F(Roster, MessageFromAnotherUserIsRefused)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to act as another user";
    ThrowawayUser other;
    ASSERT_NE(other.Uid(), 0u) << "couldn't create a throwaway user";
    pid_t probe = StartProbe();
    ASSERT_EQ(RegisteredCount(0), 1);
    std::string socket = S().RegistryFile(probe, ".sock");
    // Let the other user reach the socket, so only its credentials stop it.
    const std::string& runtime = S().Runtime().Path();
    std::vector<std::string> levels = { runtime, runtime + "/gw-roster",
        fs::path(socket).parent_path() };
    for (const std::string& level : levels)
        ASSERT_EQ(chmod(level.c_str(), 0711), 0);
    ASSERT_EQ(chmod(socket.c_str(), 0666), 0);
    std::vector<uint8> packet = Packet(1, TextMessage("EVIL", "x", 1).Flatten());
    pid_t child = fork();
    if (child == 0) {
        if (setgroups(0, nullptr) != 0 || setgid(other.Gid()) != 0 || setuid(other.Uid()) != 0)
            _exit(1);
        _exit(SendPacket(socket, packet) ? 0 : 2);
    }
    ASSERT_GT(child, 0);
    int status = -1;
    WaitUntil([&] { return waitpid(child, &status, WNOHANG) != 0; }, 10s);
    for (const std::string& level : levels)
        chmod(level.c_str(), 0700);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_NE(WEXITSTATUS(status), 1) << "couldn't become uid " << other.Uid();

    std::string refusal = "roster_probe: " + kRefusedMessage + "sender is another user (uid "
        + std::to_string(other.Uid()) + ")\n";
    EXPECT_TRUE(Says(0, refusal)) << S().Output();
    EXPECT_EQ(Send(0, MessageTarget::Window, TextMessage("GOOD", "own user", 5)), B_OK);
    EXPECT_TRUE(Says(0, "text=own user"));
    EXPECT_EQ(CountOf(S().Output(), refusal), 1u) << S().Output();
    EXPECT_EQ(CountOf(S().Output(), "delivered"), 1u) << S().Output();
}

TEST_F(Roster, LongSignatureAndLongRuntimeDirectoryStillWork)
{
    std::string runtime = S().Runtime().Path();
    runtime += "/" + std::string(100 - std::min<size_t>(runtime.size() + 1, 90), 'r');
    ASSERT_TRUE(fs::create_directory(runtime));
    ASSERT_EQ(chmod(runtime.c_str(), 0700), 0);
    ASSERT_GE(runtime.size(), 100u);
    std::string signature = "application/x-vnd." + std::string(282, 's');
    ASSERT_EQ(signature.size(), 300u);

    pid_t probe = StartProbe(signature, kRosterProbePath, runtime);
    setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    ASSERT_EQ(RegisteredCount(0), 1) << S().Output();
    EXPECT_EQ(List(signature), std::vector<pid_t> { probe });
    EXPECT_EQ(Send(0, MessageTarget::Window, TextMessage("LONG", "fits", 6), signature), B_OK);
    EXPECT_TRUE(Says(0, "delivered target=1 what=4c4f4e47 text=fits"));
}

TEST_F(Roster, ARequestGetsItsReplyOrNoReplyOnceHandled)
{
    StartProbe();
    ASSERT_EQ(RegisteredCount(0), 1);
    Result<BMessage> reply = Request(0, "SNAP", 100000);
    ASSERT_TRUE(reply) << reply.reason();
    EXPECT_EQ(reply->what, FourCC("SNAP"));
    EXPECT_TRUE(HasProbeBytes(*reply, 100000));
    // A second reply is refused.
    EXPECT_TRUE(Says(0, "reply-status 0 again -2147483643\n")) << S().Output();
    EXPECT_EQ(Request(0, "IGNR", 0).value_or(BMessage()), BMessage(B_NO_REPLY));
}

TEST_F(Roster, AnOversizedRequestIsRefusedAndRequestersThatDontReadOrWaitLongHoldNothingUp)
{
    pid_t probe = StartProbe();
    ASSERT_EQ(RegisteredCount(0), 1);
    auto request = [socket = S().RegistryFile(probe, ".sock")](const std::vector<uint8>& packet) {
        int fd = ConnectToSocket(socket);
        EXPECT_EQ(send(fd, packet.data(), packet.size(), MSG_NOSIGNAL), ssize_t(packet.size()));
        return fd;
    };
    auto closed = [](int fd) { char byte; return recv(fd, &byte, 1, MSG_DONTWAIT) == 0; };
    std::vector<int> fds = { request(Packet(0x80, std::vector<uint8>(4999, 0))) };
    EXPECT_TRUE(WaitUntil([&] { return closed(fds[0]); }));
    EXPECT_TRUE(Says(0, "it is too large (5000 bytes)"));

    // More requesters than the 16 connections kept, which never read, get
    // the largest reply, and the looper goes on to answer the next.
    for (size_t i = 1; i <= 20; ++i) {
        fds.push_back(request(Packet(0x81, TextMessage("SNAP", "", 262114).Flatten())));
        ASSERT_TRUE(WaitUntil([&] { return CountOf(S().Output(), "reply-status 0 ") == i; }));
    }
    EXPECT_TRUE(HasProbeBytes(Request(0, "SNAP", 262114).value_or(BMessage()), 262114));

    // Requests held unanswered count against those 16: the oldest are let go.
    for (int i = 0; i < 20; ++i)
        fds.push_back(request(Packet(0x80, BMessage(FourCC("HOLD")).Flatten())));
    auto countClosed = [&] { return std::count_if(fds.end() - 20, fds.end(), closed); };
    EXPECT_TRUE(WaitUntil([&] { return countClosed() == 4; })) << countClosed();
    EXPECT_EQ(Send(0, MessageTarget::Application, BMessage(FourCC("FREE"))), B_OK);
    EXPECT_TRUE(WaitUntil([&] { return countClosed() == 20; })) << countClosed();
    for (int fd : fds)
        close(fd);
}

} // namespace
