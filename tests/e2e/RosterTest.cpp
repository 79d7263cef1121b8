// The roster between real processes: instances of a probe program register
// in a private registry ($XDG_RUNTIME_DIR of the test's own), list each
// other, launch one another and exchange messages over their sockets.

#include "ChildProcess.h"
#include "TempDirectory.h"

#include "platform/List.h"
#include "platform/Message.h"
#include "platform/Roster.h"
#include "platform/RosterServer.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

namespace {

constexpr const char* kSignature = "application/x-vnd.gw-roster-probe";

std::string ReadFile(const std::string& path)
{
    std::ifstream file(path);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

size_t CountOf(const std::string& text, const std::string& needle)
{
    size_t count = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
        ++count;
    return count;
}

// Fields of /proc/<pid>/stat after the command name: state, ppid, pgrp, session.
struct ProcessStat {
    char state = '?';
    pid_t parent = 0;
    pid_t session = 0;
};

bool ReadStat(pid_t pid, ProcessStat* stat)
{
    std::string text = ReadFile("/proc/" + std::to_string(pid) + "/stat");
    size_t end = text.rfind(')');
    if (end == std::string::npos)
        return false;
    std::istringstream fields(text.substr(end + 1));
    pid_t group = 0;
    fields >> stat->state >> stat->parent >> group >> stat->session;
    return !fields.fail();
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

// Sends raw bytes as one packet on a new connection.
bool SendPacket(const std::string& path, const std::vector<uint8>& packet)
{
    int fd = Connect(path);
    if (fd < 0)
        return false;
    bool sent = send(fd, packet.data(), packet.size(), MSG_NOSIGNAL) == ssize_t(packet.size());
    close(fd);
    return sent;
}

std::vector<uint8> Packet(MessageTarget target, const BMessage& message)
{
    std::vector<uint8> packet = message.Flatten();
    packet.insert(packet.begin(), static_cast<uint8>(target));
    return packet;
}

BMessage TextMessage(const char (&what)[5], const char* text, int32 number)
{
    BMessage message(FourCC(what));
    message.AddString("text", text);
    message.AddInt32("number", number);
    return message;
}

class Roster : public testing::Test {
protected:
    void SetUp() override { UseRuntimeDirectory(fRuntime.Path()); }

    void TearDown() override
    {
        for (pid_t pid : fDetached)
            kill(pid, SIGKILL);
        unsetenv("XDG_RUNTIME_DIR");
    }

    void UseRuntimeDirectory(const std::string& path)
    {
        fRuntimePath = path;
        setenv("XDG_RUNTIME_DIR", path.c_str(), 1);
    }

    std::unique_ptr<ChildProcess> StartProbe(const std::string& name,
        std::vector<std::string> environment = {}, const std::string& program = ROSTER_PROBE_PATH)
    {
        environment.push_back("XDG_RUNTIME_DIR=" + fRuntimePath);
        if (std::none_of(environment.begin(), environment.end(),
                [](const std::string& v) { return v.rfind("GW_PROBE_SIGNATURE=", 0) == 0; }))
            environment.push_back(std::string("GW_PROBE_SIGNATURE=") + kSignature);
        for (const char* name : { "ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS" }) {
            if (const char* value = getenv(name))
                environment.push_back(std::string(name) + "=" + value);
        }
        return std::make_unique<ChildProcess>(std::vector<std::string> { program }, environment,
            Output(name));
    }

    std::string Output(const std::string& name) const { return fRuntime.File(name + ".out"); }

    // Waits until the output of `name` holds `needle`; false after `timeout`.
    bool WaitFor(const std::string& name, const std::string& needle,
        std::chrono::milliseconds timeout = 20s)
    {
        auto deadline = std::chrono::steady_clock::now() + timeout;
        while (ReadFile(Output(name)).find(needle) == std::string::npos) {
            if (std::chrono::steady_clock::now() >= deadline)
                return false;
            std::this_thread::sleep_for(10ms);
        }
        return true;
    }

    // The count a probe reported when it registered, or -1.
    int RegisteredCount(const std::string& name, pid_t pid)
    {
        std::string prefix = std::to_string(pid) + " count ";
        if (!WaitFor(name, prefix))
            return -1;
        std::string text = ReadFile(Output(name));
        return atoi(text.c_str() + text.find(prefix) + prefix.size());
    }

    static std::vector<pid_t> List(const char* signature = kSignature)
    {
        BList list;
        EXPECT_EQ(be_roster->GetAppList(signature, &list), B_OK);
        std::vector<pid_t> pids;
        for (int32 i = 0; i < list.CountItems(); ++i)
            pids.push_back(static_cast<pid_t>(reinterpret_cast<intptr_t>(list.ItemAt(i))));
        return pids;
    }

    // The signature's directory in the registry: the only one there is.
    std::string SignatureDirectory() const
    {
        std::string root = fRuntimePath + "/gw-roster";
        for (const auto& item : std::filesystem::directory_iterator(root))
            return item.path().string();
        return root + "/missing";
    }

    TempDirectory fRuntime { "gw-roster-e2e" };
    std::string fRuntimePath;
    std::vector<pid_t> fDetached;
};

TEST_F(Roster, InstancesStartedTogetherAllRegisterAndAreAllListed)
{
    constexpr int kCount = 10;
    std::vector<std::unique_ptr<ChildProcess>> probes;
    for (int i = 0; i < kCount; ++i)
        probes.push_back(StartProbe("probe" + std::to_string(i)));

    std::vector<pid_t> expected;
    for (int i = 0; i < kCount; ++i) {
        int count = RegisteredCount("probe" + std::to_string(i), probes[i]->Pid());
        EXPECT_GE(count, 1) << ReadFile(Output("probe" + std::to_string(i)));
        EXPECT_LE(count, kCount);
        expected.push_back(probes[i]->Pid());
    }
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(List(), expected);
}

TEST_F(Roster, KilledInstanceStopsCountingAtOnceAndOnlyItsEntryIsRemoved)
{
    std::vector<std::unique_ptr<ChildProcess>> probes;
    for (int i = 0; i < 3; ++i) {
        probes.push_back(StartProbe("probe" + std::to_string(i)));
        ASSERT_GE(RegisteredCount("probe" + std::to_string(i), probes[i]->Pid()), 1);
    }
    std::string directory = SignatureDirectory();
    pid_t dead = probes[1]->Pid();
    auto exists = [&](pid_t pid, const char* suffix) {
        return access((directory + "/" + std::to_string(pid) + suffix).c_str(), F_OK) == 0;
    };
    ASSERT_TRUE(exists(dead, ".lock") && exists(dead, ".sock"));

    probes[1]->Stop(SIGKILL);
    std::vector<pid_t> live = { probes[0]->Pid(), probes[2]->Pid() };
    std::sort(live.begin(), live.end());
    EXPECT_EQ(List(), live);
    EXPECT_FALSE(exists(dead, ".lock"));
    EXPECT_FALSE(exists(dead, ".sock"));
    for (int i : { 0, 2 }) {
        pid_t pid = probes[i]->Pid();
        EXPECT_TRUE(exists(pid, ".lock") && exists(pid, ".sock")) << pid;
        EXPECT_EQ(RosterServer::Send(kSignature, pid, MessageTarget::Application,
                      BMessage(FourCC("LIST"))),
            B_OK);
        std::string name = "probe" + std::to_string(i);
        EXPECT_TRUE(WaitFor(name, std::to_string(pid) + " count 2")) << ReadFile(Output(name));
    }
    EXPECT_EQ(List(), live);
}

TEST_F(Roster, LaunchOfAMissingExecutableIsAnError)
{
    EXPECT_EQ(be_roster->Launch("application/x-vnd.gw-never-registered"), B_ENTRY_NOT_FOUND);

    // A signature whose program was registered, then removed.
    std::string copy = fRuntime.File("probe-copy");
    std::filesystem::copy_file(ROSTER_PROBE_PATH, copy);
    const char* signature = "application/x-vnd.gw-roster-removed";
    auto probe = StartProbe("copy", { std::string("GW_PROBE_SIGNATURE=") + signature }, copy);
    ASSERT_EQ(RegisteredCount("copy", probe->Pid()), 1);
    probe->Stop();
    ASSERT_EQ(unlink(copy.c_str()), 0);

    EXPECT_EQ(be_roster->Launch(signature), B_ENTRY_NOT_FOUND);
    EXPECT_TRUE(List(signature).empty());
}

TEST_F(Roster, LaunchFromAnInstanceWhoseExecutableWasDeletedIsAnError)
{
    std::string copy = fRuntime.File("probe-copy");
    std::filesystem::copy_file(ROSTER_PROBE_PATH, copy);
    auto probe = StartProbe("copy", {}, copy);
    ASSERT_EQ(RegisteredCount("copy", probe->Pid()), 1);
    ASSERT_EQ(unlink(copy.c_str()), 0);

    ASSERT_EQ(RosterServer::Send(kSignature, probe->Pid(), MessageTarget::Application,
                  TextMessage("LNCH", "never", 1)),
        B_OK);
    EXPECT_TRUE(WaitFor("copy", "launch-status " + std::to_string(B_ENTRY_NOT_FOUND)))
        << ReadFile(Output("copy"));
    EXPECT_EQ(List().size(), 1u);
}

TEST_F(Roster, LaunchStartsADetachedInstanceThatReceivesTheMessage)
{
    auto launcher = StartProbe("launcher", { "GW_PROBE_LEAK_FD=1" });
    ASSERT_EQ(RegisteredCount("launcher", launcher->Pid()), 1);

    ASSERT_EQ(RosterServer::Send(kSignature, launcher->Pid(), MessageTarget::Application,
                  TextMessage("LNCH", "from the launcher", 42)),
        B_OK);
    ASSERT_TRUE(WaitFor("launcher", "launch-status 0")) << ReadFile(Output("launcher"));
    // The new instance shares the launcher's output.
    ASSERT_TRUE(WaitFor("launcher", "launched-with what=4c4e4348 text=from the launcher number=42"))
        << ReadFile(Output("launcher"));
    std::string text = ReadFile(Output("launcher"));
    pid_t child = atoi(text.c_str() + text.rfind('\n', text.find("launched-with")) + 1);
    fDetached.push_back(child);
    ASSERT_TRUE(WaitFor("launcher", std::to_string(child) + " count 2")) << text;

    EXPECT_NE(text.find(std::to_string(child) + " fds 0 1 2\n"), std::string::npos) << text;
    // A session of its own, started by the short-lived intermediate process.
    ProcessStat stat, launcherStat;
    ASSERT_TRUE(ReadStat(child, &stat));
    ASSERT_TRUE(ReadStat(launcher->Pid(), &launcherStat));
    EXPECT_NE(stat.session, launcherStat.session);
    EXPECT_NE(stat.session, getsid(0));
    EXPECT_NE(stat.parent, launcher->Pid());
    // The launcher is left with no child at all, zombie or otherwise.
    for (const auto& item : std::filesystem::directory_iterator("/proc")) {
        pid_t pid = atoi(item.path().filename().c_str());
        ProcessStat other;
        if (pid > 0 && ReadStat(pid, &other)) {
            EXPECT_NE(other.parent, launcher->Pid()) << "child " << pid << " state " << other.state;
        }
    }
    std::vector<pid_t> both = { launcher->Pid(), child };
    std::sort(both.begin(), both.end());
    EXPECT_EQ(List(), both);

    kill(child, SIGTERM);
    auto deadline = std::chrono::steady_clock::now() + 10s;
    while (List().size() != 1 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(10ms);
    EXPECT_EQ(List(), std::vector<pid_t> { launcher->Pid() });
}

TEST_F(Roster, MessagesFromAnotherProcessArriveIntactForEitherTarget)
{
    auto probe = StartProbe("probe");
    ASSERT_EQ(RegisteredCount("probe", probe->Pid()), 1);

    EXPECT_EQ(RosterServer::Send(kSignature, probe->Pid(), MessageTarget::Window,
                  TextMessage("TEST", "over the wire", -7)),
        B_OK);
    EXPECT_EQ(RosterServer::Send(kSignature, probe->Pid(), MessageTarget::Application,
                  TextMessage("APPL", "", 2147483647)),
        B_OK);
    EXPECT_TRUE(WaitFor("probe", "delivered target=1 what=54455354 text=over the wire number=-7"));
    EXPECT_TRUE(WaitFor("probe", "delivered target=0 what=4150504c text= number=2147483647"))
        << ReadFile(Output("probe"));
    EXPECT_EQ(RosterServer::Send(kSignature, 999999999, MessageTarget::Window, BMessage(1)),
        B_ENTRY_NOT_FOUND);
}

TEST_F(Roster, MalformedAndOversizedPacketsAreDroppedWithOneLineEach)
{
    auto probe = StartProbe("probe");
    ASSERT_EQ(RegisteredCount("probe", probe->Pid()), 1);
    std::string socket = SignatureDirectory() + "/" + std::to_string(probe->Pid()) + ".sock";

    std::vector<uint8> badTarget = Packet(MessageTarget::Window, TextMessage("BADT", "x", 1));
    badTarget[0] = 7;
    std::vector<uint8> garbage = { 0, 0xde, 0xad, 0xbe, 0xef, 0xff, 0xff, 0xff, 0xff };
    std::vector<uint8> oversized(5000, 0);
    EXPECT_TRUE(SendPacket(socket, badTarget));
    EXPECT_TRUE(SendPacket(socket, garbage));
    EXPECT_TRUE(SendPacket(socket, oversized));

    EXPECT_TRUE(WaitFor("probe", "it is too large (5000 bytes)"));
    EXPECT_TRUE(WaitFor("probe", "it is for an unknown target (7)"));
    EXPECT_TRUE(WaitFor("probe", "couldn't accept a message: it is malformed"));
    EXPECT_EQ(RosterServer::Send(kSignature, probe->Pid(), MessageTarget::Window,
                  TextMessage("GOOD", "still serving", 3)),
        B_OK);
    EXPECT_TRUE(WaitFor("probe", "delivered target=1 what=474f4f44 text=still serving"));
    std::string text = ReadFile(Output("probe"));
    EXPECT_EQ(CountOf(text, "gondavel_wubbix: couldn't accept a message: "), 3u) << text;
    EXPECT_EQ(CountOf(text, "delivered"), 1u) << text;
}

TEST_F(Roster, IdleConnectionsAreClosedAndNeverShutOutSenders)
{
    auto probe = StartProbe("probe");
    ASSERT_EQ(RegisteredCount("probe", probe->Pid()), 1);
    std::string socket = SignatureDirectory() + "/" + std::to_string(probe->Pid()) + ".sock";

    std::vector<int> idle;
    for (int i = 0; i < 20; ++i) {
        idle.push_back(Connect(socket));
        ASSERT_GE(idle.back(), 0);
    }
    EXPECT_EQ(RosterServer::Send(kSignature, probe->Pid(), MessageTarget::Window,
                  TextMessage("GOOD", "got through", 4)),
        B_OK);
    EXPECT_TRUE(WaitFor("probe", "delivered target=1 what=474f4f44 text=got through"));

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
    std::string user = "gwroster" + std::to_string(getpid());
    std::vector<std::string> environment = { "PATH=/usr/sbin:/usr/bin:/sbin:/bin" };
    ChildProcess::Result added
        = ChildProcess::Run({ "useradd", "-M", "-r", "-s", "/usr/sbin/nologin", user }, environment, 20s);
    ASSERT_EQ(added.exitCode, 0) << added.output;
    std::shared_ptr<void> removeUser(nullptr, [&](void*) {
        ChildProcess::Run({ "userdel", user }, environment, 20s);
    });
    passwd* entry = getpwnam(user.c_str());
    ASSERT_NE(entry, nullptr);
    uid_t uid = entry->pw_uid;
    gid_t gid = entry->pw_gid;

    auto probe = StartProbe("probe");
    ASSERT_EQ(RegisteredCount("probe", probe->Pid()), 1);
    std::string directory = SignatureDirectory();
    std::string socket = directory + "/" + std::to_string(probe->Pid()) + ".sock";
    // Let the other user reach the socket, so only its credentials stop it.
    std::vector<std::string> levels = { fRuntimePath, fRuntimePath + "/gw-roster", directory };
    for (const std::string& level : levels)
        ASSERT_EQ(chmod(level.c_str(), 0711), 0);
    ASSERT_EQ(chmod(socket.c_str(), 0666), 0);

    std::vector<uint8> packet = Packet(MessageTarget::Window, TextMessage("EVIL", "x", 1));
    pid_t child = fork();
    if (child == 0) {
        if (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0)
            _exit(1);
        _exit(SendPacket(socket, packet) ? 0 : 2);
    }
    ASSERT_GT(child, 0);
    int status = -1;
    auto deadline = std::chrono::steady_clock::now() + 10s;
    while (waitpid(child, &status, WNOHANG) == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(10ms);
    for (const std::string& level : levels)
        chmod(level.c_str(), 0700);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_NE(WEXITSTATUS(status), 1) << "couldn't become " << user;

    std::string refusal = "gondavel_wubbix: couldn't accept a message: sender is another user (uid "
        + std::to_string(uid) + ")\n";
    EXPECT_TRUE(WaitFor("probe", refusal)) << ReadFile(Output("probe"));
    EXPECT_EQ(RosterServer::Send(kSignature, probe->Pid(), MessageTarget::Window,
                  TextMessage("GOOD", "own user", 5)),
        B_OK);
    EXPECT_TRUE(WaitFor("probe", "text=own user"));
    std::string text = ReadFile(Output("probe"));
    EXPECT_EQ(CountOf(text, refusal), 1u) << text;
    EXPECT_EQ(CountOf(text, "delivered"), 1u) << text;
}

TEST_F(Roster, LongSignatureAndLongRuntimeDirectoryStillWork)
{
    std::string longPath = fRuntime.Path() + "/";
    longPath += std::string(100 - std::min<size_t>(longPath.size(), 90), 'r');
    ASSERT_TRUE(std::filesystem::create_directory(longPath));
    ASSERT_EQ(chmod(longPath.c_str(), 0700), 0);
    ASSERT_GE(longPath.size(), 100u);
    UseRuntimeDirectory(longPath);
    std::string signature = "application/x-vnd." + std::string(282, 's');
    ASSERT_EQ(signature.size(), 300u);

    auto probe = StartProbe("probe", { "GW_PROBE_SIGNATURE=" + signature });
    ASSERT_EQ(RegisteredCount("probe", probe->Pid()), 1) << ReadFile(Output("probe"));
    EXPECT_EQ(List(signature.c_str()), std::vector<pid_t> { probe->Pid() });
    EXPECT_EQ(RosterServer::Send(signature.c_str(), probe->Pid(), MessageTarget::Window,
                  TextMessage("LONG", "fits", 6)),
        B_OK);
    EXPECT_TRUE(WaitFor("probe", "delivered target=1 what=4c4f4e47 text=fits"));
}

} // namespace
