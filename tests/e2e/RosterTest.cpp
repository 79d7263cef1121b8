// The roster between real processes: instances of a probe program register
// in a private registry ($XDG_RUNTIME_DIR of the test's own), list each
// other, launch one another and exchange messages over their sockets.

#include "ChildProcess.h"
#include "TestSupport.h"
#include "TempDirectory.h"
#include "ThrowawayUser.h"

#include "List.h"
#include "Message.h"
#include "Roster.h"
#include "Messenger.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <grp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <sstream>

using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

constexpr const char* kSignature = "application/x-vnd.gw-roster-probe";

// The parent and the session of a process, from /proc/<pid>/stat.
std::pair<pid_t, pid_t> ParentAndSession(pid_t pid)
{
    std::string text = ReadFile("/proc/" + std::to_string(pid) + "/stat");
    char state = '?';
    pid_t parent = 0, group = 0, session = 0;
    if (size_t end = text.rfind(')'); end != std::string::npos)
        std::istringstream(text.substr(end + 1)) >> state >> parent >> group >> session;
    return { parent, session };
}

// A new connection to the socket at `path`, or -1.
int Connect(const std::string& path)
{
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    snprintf(address.sun_path, sizeof(address.sun_path), "%s", path.c_str());
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0)
        return fd;
    close(fd);
    return -1;
}

// Sends a target byte and `body` as one packet on a new connection.
bool SendPacket(const std::string& path, uint8 target, std::vector<uint8> body)
{
    body.insert(body.begin(), target);
    int fd = Connect(path);
    bool sent = fd >= 0 && send(fd, body.data(), body.size(), MSG_NOSIGNAL) == ssize_t(body.size());
    close(fd);
    return sent;
}

BMessage TextMessage(const char (&what)[5], const char* text, int32 number)
{
    BMessage message(FourCC(what));
    message.AddString("text", text);
    message.AddInt32("number", number);
    return message;
}

// One running probe and the file its output goes to.
struct Probe {
    std::unique_ptr<ChildProcess> process;
    std::string output;

    pid_t Pid() const { return process->Pid(); }
    std::string Text() const { return ReadFile(output); }
    bool Says(const std::string& text) const
    {
        return WaitUntil([&] { return Text().find(text) != std::string::npos; });
    }
    // The count it reported when it registered, or -1.
    int RegisteredCount() const
    {
        std::string prefix = std::to_string(Pid()) + " count ";
        if (!Says(prefix))
            return -1;
        std::string text = Text();
        return atoi(text.c_str() + text.find(prefix) + prefix.size());
    }
    status_t Send(MessageTarget target, const BMessage& message,
        const std::string& signature = kSignature) const
    {
        return BMessenger(signature.c_str(), Pid(), target).SendMessage(message);
    }
};

class Roster : public testing::Test {
protected:
    void SetUp() override { setenv("XDG_RUNTIME_DIR", fRuntimePath.c_str(), 1); }
    void TearDown() override { unsetenv("XDG_RUNTIME_DIR"); }

    Probe StartProbe(const std::string& name, const std::string& signature = kSignature,
        const std::string& program = ROSTER_PROBE_PATH)
    {
        std::vector<std::string> environment = SanitizerEnvironment();
        environment.push_back("XDG_RUNTIME_DIR=" + fRuntimePath);
        environment.push_back("GW_PROBE_SIGNATURE=" + signature);
        std::string output = fRuntime.File(name + ".out");
        return { std::make_unique<ChildProcess>(std::vector<std::string> { program }, environment,
                     output),
            output };
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

    // The path of a probe's entry in the registry, less ".lock" or ".sock".
    std::string Entry(const Probe& probe) const
    {
        for (const auto& item : fs::directory_iterator(fRuntimePath + "/gw-roster"))
            return item.path().string() + "/" + std::to_string(probe.Pid());
        return "missing";
    }

    TempDirectory fRuntime { "gw-roster-e2e" };
    std::string fRuntimePath = fRuntime.Path();
};

TEST_F(Roster, InstancesStartedTogetherAllRegisterAndAKilledOneDropsOutAtOnce)
{
    std::vector<Probe> probes;
    for (int i = 0; i < 10; ++i)
        probes.push_back(StartProbe("probe" + std::to_string(i)));
    std::vector<pid_t> live;
    for (const Probe& probe : probes) {
        int count = probe.RegisteredCount();
        EXPECT_GE(count, 1) << probe.Text();
        EXPECT_LE(count, 10);
        live.push_back(probe.Pid());
    }
    std::sort(live.begin(), live.end());
    EXPECT_EQ(List(), live);

    const Probe& dead = probes[4];
    std::string deadEntry = Entry(dead);
    ASSERT_TRUE(fs::exists(deadEntry + ".lock") && fs::exists(deadEntry + ".sock"));
    dead.process->Stop(SIGKILL);
    live.erase(std::find(live.begin(), live.end(), dead.Pid()));
    EXPECT_EQ(List(), live);
    EXPECT_FALSE(fs::exists(deadEntry + ".lock"));
    EXPECT_FALSE(fs::exists(deadEntry + ".sock"));
    for (const Probe& probe : probes) {
        if (&probe == &dead)
            continue;
        EXPECT_TRUE(fs::exists(Entry(probe) + ".lock") && fs::exists(Entry(probe) + ".sock"));
        EXPECT_EQ(probe.Send(MessageTarget::Application, BMessage(FourCC("LIST"))), B_OK);
        EXPECT_TRUE(probe.Says(std::to_string(probe.Pid()) + " count 9")) << probe.Text();
    }
    EXPECT_EQ(List(), live);
}

TEST_F(Roster, LaunchStartsADetachedInstanceWithTheMessageUntilTheExecutableIsGone)
{
    EXPECT_EQ(be_roster->Launch("application/x-vnd.gw-never-registered"), B_ENTRY_NOT_FOUND);
    std::string copy = fRuntime.File("probe-copy");
    fs::copy_file(ROSTER_PROBE_PATH, copy);
    Probe launcher = StartProbe("launcher", kSignature, copy);
    ASSERT_EQ(launcher.RegisteredCount(), 1);
    ASSERT_EQ(launcher.Send(MessageTarget::Application,
                  TextMessage("LNCH", "from the launcher", 42)), B_OK);
    ASSERT_TRUE(launcher.Says("launch-status 0")) << launcher.Text();
    // The new instance writes to the launcher's output.
    ASSERT_TRUE(launcher.Says("launched-with what=4c4e4348 text=from the launcher number=42"))
        << launcher.Text();
    std::string text = launcher.Text();
    pid_t child = atoi(text.c_str() + text.rfind('\n', text.find("launched-with")) + 1);
    std::shared_ptr<void> killChild(nullptr, [child](void*) { kill(child, SIGKILL); });
    ASSERT_TRUE(launcher.Says(std::to_string(child) + " count 2")) << text;
    std::vector<pid_t> both = { launcher.Pid(), child };
    std::sort(both.begin(), both.end());
    EXPECT_EQ(List(), both);

    // The probe holds a descriptor open across exec; the launched one must not get it.
    EXPECT_NE(text.find(std::to_string(child) + " fds 0 1 2\n"), std::string::npos) << text;
    // A session of its own, started by a short-lived intermediate process.
    auto [parent, session] = ParentAndSession(child);
    EXPECT_NE(session, ParentAndSession(launcher.Pid()).second);
    EXPECT_NE(session, getsid(0));
    EXPECT_NE(parent, launcher.Pid());
    // The launcher is left with no child at all, zombie or otherwise.
    for (const auto& item : fs::directory_iterator("/proc")) {
        pid_t pid = atoi(item.path().filename().c_str());
        EXPECT_TRUE(pid <= 0 || ParentAndSession(pid).first != launcher.Pid()) << pid;
    }

    // Once the program file is deleted, neither the instance itself nor
    // anyone else can start it.
    ASSERT_EQ(unlink(copy.c_str()), 0);
    ASSERT_EQ(launcher.Send(MessageTarget::Application, TextMessage("LNCH", "never", 1)), B_OK);
    EXPECT_TRUE(launcher.Says("launch-status " + std::to_string(B_ENTRY_NOT_FOUND)))
        << launcher.Text();
    EXPECT_EQ(be_roster->Launch(kSignature), B_ENTRY_NOT_FOUND);
    EXPECT_EQ(List().size(), 2u);
}

TEST_F(Roster, MessagesArriveForEitherTargetWhileBadAndIdlePeersAreDropped)
{
    Probe probe = StartProbe("probe");
    ASSERT_EQ(probe.RegisteredCount(), 1);
    std::string socket = Entry(probe) + ".sock";
    // More idle connections than the server keeps: senders still get through.
    std::vector<int> idle;
    for (int i = 0; i < 20; ++i) {
        idle.push_back(Connect(socket));
        ASSERT_GE(idle.back(), 0);
    }
    EXPECT_TRUE(SendPacket(socket, 7, TextMessage("BADT", "x", 1).Flatten()));
    EXPECT_TRUE(SendPacket(socket, 0, { 0xde, 0xad, 0xbe, 0xef, 0xff, 0xff, 0xff, 0xff }));
    EXPECT_TRUE(SendPacket(socket, 0, std::vector<uint8>(4999, 0)));
    EXPECT_TRUE(probe.Says("it is too large (5000 bytes)"));
    EXPECT_TRUE(probe.Says("it is for an unknown target (7)"));
    EXPECT_TRUE(probe.Says("couldn't accept a message: it is malformed"));

    EXPECT_EQ(probe.Send(MessageTarget::Window, TextMessage("TEST", "over the wire", -7)), B_OK);
    EXPECT_EQ(probe.Send(MessageTarget::Application, TextMessage("APPL", "", 2147483647)), B_OK);
    EXPECT_TRUE(probe.Says("delivered target=1 what=54455354 text=over the wire number=-7"));
    EXPECT_TRUE(probe.Says("delivered target=0 what=4150504c text= number=2147483647"));
    std::string text = probe.Text();
    EXPECT_EQ(CountOf(text, "gondavel_wubbix: couldn't accept a message: "), 3u) << text;
    EXPECT_EQ(CountOf(text, "delivered"), 2u) << text;
    EXPECT_EQ(BMessenger(kSignature, 999999999, MessageTarget::Window).SendMessage(BMessage(1)),
        B_ENTRY_NOT_FOUND);

    // The last idle connection is closed by the server within a few seconds.
    pollfd item = { idle.back(), POLLIN, 0 };
    EXPECT_EQ(poll(&item, 1, 15000), 1);
    char byte;
    EXPECT_EQ(recv(idle.back(), &byte, 1, MSG_DONTWAIT), 0);
    for (int fd : idle)
        close(fd);
}

TEST_F(Roster, MessageFromAnotherUserIsRefused)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to act as another user";
    ThrowawayUser other;
    ASSERT_NE(other.Uid(), 0u) << "couldn't create a throwaway user";
    Probe probe = StartProbe("probe");
    ASSERT_EQ(probe.RegisteredCount(), 1);
    std::string socket = Entry(probe) + ".sock";
    // Let the other user reach the socket, so only its credentials stop it.
    std::vector<std::string> levels = { fRuntimePath, fRuntimePath + "/gw-roster",
        fs::path(socket).parent_path() };
    for (const std::string& level : levels)
        ASSERT_EQ(chmod(level.c_str(), 0711), 0);
    ASSERT_EQ(chmod(socket.c_str(), 0666), 0);
    std::vector<uint8> body = TextMessage("EVIL", "x", 1).Flatten();
    pid_t child = fork();
    if (child == 0) {
        if (setgroups(0, nullptr) != 0 || setgid(other.Gid()) != 0 || setuid(other.Uid()) != 0)
            _exit(1);
        _exit(SendPacket(socket, 1, body) ? 0 : 2);
    }
    ASSERT_GT(child, 0);
    int status = -1;
    WaitUntil([&] { return waitpid(child, &status, WNOHANG) != 0; }, 10s);
    for (const std::string& level : levels)
        chmod(level.c_str(), 0700);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_NE(WEXITSTATUS(status), 1) << "couldn't become uid " << other.Uid();

    std::string refusal = "gondavel_wubbix: couldn't accept a message: sender is another user (uid "
        + std::to_string(other.Uid()) + ")\n";
    EXPECT_TRUE(probe.Says(refusal)) << probe.Text();
    EXPECT_EQ(probe.Send(MessageTarget::Window, TextMessage("GOOD", "own user", 5)), B_OK);
    EXPECT_TRUE(probe.Says("text=own user"));
    EXPECT_EQ(CountOf(probe.Text(), refusal), 1u) << probe.Text();
    EXPECT_EQ(CountOf(probe.Text(), "delivered"), 1u) << probe.Text();
}

TEST_F(Roster, LongSignatureAndLongRuntimeDirectoryStillWork)
{
    fRuntimePath += "/" + std::string(100 - std::min<size_t>(fRuntimePath.size() + 1, 90), 'r');
    ASSERT_TRUE(fs::create_directory(fRuntimePath));
    ASSERT_EQ(chmod(fRuntimePath.c_str(), 0700), 0);
    ASSERT_GE(fRuntimePath.size(), 100u);
    setenv("XDG_RUNTIME_DIR", fRuntimePath.c_str(), 1);
    std::string signature = "application/x-vnd." + std::string(282, 's');
    ASSERT_EQ(signature.size(), 300u);

    Probe probe = StartProbe("probe", signature);
    ASSERT_EQ(probe.RegisteredCount(), 1) << probe.Text();
    EXPECT_EQ(List(signature), std::vector<pid_t> { probe.Pid() });
    EXPECT_EQ(probe.Send(MessageTarget::Window, TextMessage("LONG", "fits", 6), signature), B_OK);
    EXPECT_TRUE(probe.Says("delivered target=1 what=4c4f4e47 text=fits"));
}

} // namespace
