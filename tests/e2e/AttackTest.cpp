// The program against another local user and at unlucky moments, on a
// private X server and sound server shared by the suite: each test stages
// one fault in a session of its own and checks that the instance holds.

#include "InstanceProcesses.h"
#include "PulseServer.h"
#include "TestSupport.h"
#include "ThrowawayUser.h"
#include "XvfbServer.h"

#include <gtest/gtest.h>

// After GoogleTest: Xlib's macros (None, Bool, ...) would break its headers.
#include "Session.h"
#include "XWindowHints.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <thread>

using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

constexpr const char* kAlertPrefix = "gondavel_wubbix: alert: ";

class AttackTest : public SessionTest {
protected:
    // Starts a copy of the program kept in `place`, so that the test can
    // take the program file away; returns it with its window.
    std::pair<ChildProcess*, Window> StartCopy(const TempDirectory& place)
    {
        std::string copy = place.File("gondavel_wubbix");
        if (!fs::exists(copy))
            fs::copy_file(PROGRAM_PATH, copy);
        ChildProcess& instance = S().StartInstance({}, { copy });
        return { &instance, S().X().WindowOf(instance.Pid()) };
    }
};

} // namespace

TEST_F(AttackTest, LaunchNeverRunsAProgramAnotherUserPutWhereOursWas)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to act as another user";
    ThrowawayUser other;
    ASSERT_NE(other.Uid(), 0u) << "couldn't create a throwaway user";
    TempDirectory place("gw_attack_program");
    auto [instance, window] = StartCopy(place);
    ASSERT_NE(window, 0u) << S().Output();
    // From where only we can write, a click launches.
    S().X().Click(S().X().Middle(window));
    ASSERT_TRUE(WaitUntil([&] { return S().LiveInstances().size() == 2; }, 20s)) << S().Output();

    // The directory goes; the other user makes it again, with a program of
    // their own where ours was.
    std::string program = place.File("gondavel_wubbix");
    std::string ran = place.File("ran");
    fs::remove_all(place.Path());
    ASSERT_EQ(mkdir(place.Path().c_str(), 0755), 0);
    std::ofstream(program) << "#!/bin/sh\ntouch " << ran << "\n";
    ASSERT_EQ(chmod(program.c_str(), 0755), 0);
    ASSERT_EQ(chown(program.c_str(), other.Uid(), other.Gid()), 0);
    ASSERT_EQ(chown(place.Path().c_str(), other.Uid(), other.Gid()), 0);

    S().X().Click(S().X().Middle(window));
    ASSERT_TRUE(WaitUntil([&] { return S().Output().find(kAlertPrefix) != std::string::npos; },
        10s)) << S().Output();
    std::this_thread::sleep_for(500ms);
    EXPECT_FALSE(fs::exists(ran)) << "the other user's program ran";
    EXPECT_EQ(S().LiveInstances().size(), 2u);
}

TEST_F(AttackTest, AnAlertHoldsNothingOfItsInstanceAndGoesWithIt)
{
    TempDirectory place("gw_attack_program");
    auto [first, firstWindow] = StartCopy(place);
    auto [second, secondWindow] = StartCopy(place);
    ASSERT_TRUE(firstWindow != 0 && secondWindow != 0) << S().AllOutput();
    fs::remove(place.File("gondavel_wubbix"));
    std::vector<Window> before = S().X().TopLevelWindows();
    S().X().Click(S().X().Middle(firstWindow));
    S().X().Click(S().X().Middle(secondWindow));
    ASSERT_TRUE(WaitUntil([&] { return S().X().TopLevelWindows().size() == before.size() + 2; },
        10s)) << S().AllOutput();
    // Each box belongs to its instance's window, under the program's class.
    std::set<Window> owners;
    for (Window box : S().X().TopLevelWindows()) {
        if (std::find(before.begin(), before.end(), box) != before.end())
            continue;
        owners.insert(TransientFor(S().X().Get(), box));
        EXPECT_EQ(WindowClass(S().X().Get(), box), "gondavel_wubbix.gondavel_wubbix");
    }
    EXPECT_EQ(owners, (std::set<Window> { firstWindow, secondWindow }));

    // No copy of either instance runs the box.
    for (pid_t pid : AllProcesses()) {
        EXPECT_NE(Parent(pid), first->Pid());
        EXPECT_NE(Parent(pid), second->Pid());
    }
    // Asked to quit, the first ends, and its box with it; killed, the
    // second leaves nothing listed.
    ChildProcess::Result quit = S().Ctl({ "quit", std::to_string(first->Pid()) });
    EXPECT_EQ(quit.exitCode, 0) << quit.output;
    ASSERT_TRUE(first->WaitForExit(5s)) << S().Output(0);
    EXPECT_EQ(first->ExitCode(), 0);
    kill(second->Pid(), SIGKILL);
    ASSERT_TRUE(second->WaitForExit(5s));
    EXPECT_EQ(S().ListedPids(), std::set<pid_t> {});
    EXPECT_TRUE(WaitUntil([&] { return S().X().TopLevelWindows().empty(); }, 5s));
    EXPECT_EQ(CountOf(S().AllOutput(), kAlertPrefix), 2u) << S().AllOutput();
}

TEST_F(AttackTest, RunningOutOfDescriptorsForPeersIsSaidOnceAndTheInstanceGoesOn)
{
    if (kSanitized)
        GTEST_SKIP() << "the sanitizers need descriptors of their own to look at the process";
    ChildProcess& instance = S().StartInstance({},
        { "/bin/sh", "-c", "ulimit -n 32 && exec \"$0\"", PROGRAM_PATH });
    ASSERT_TRUE(S().WaitUntilSettled(30s)) << S().Output();
    std::vector<int> peers;
    for (int i = 0; i < 20; i++)
        peers.push_back(S().Connect(instance.Pid()));
    std::this_thread::sleep_for(2s);
    for (int peer : peers)
        close(peer);
    EXPECT_LE(CountOf(S().Output(), "couldn't accept a message"), 1u) << S().Output().substr(0, 2000);
    EXPECT_TRUE(S().PictureChanges(instance.Pid())) << S().Output();
    kill(instance.Pid(), SIGTERM);
    ASSERT_TRUE(instance.WaitForExit(10s));
    EXPECT_EQ(instance.ExitCode(), 0) << S().Output();
}

TEST_F(AttackTest, AStoppedSoundServerHoldsUpNeitherTheWindowNorQuitting)
{
    Pulse().Freeze(true);
    ChildProcess& first = S().StartInstance();
    Window window = S().X().WindowOf(first.Pid(), 10s);
    ASSERT_NE(window, 0u) << S().Output(0);
    // Drawn: no longer the black of a window nobody has drawn in.
    EXPECT_TRUE(WaitUntil([&] {
        std::string picture = S().X().Picture(window);
        return picture.find_first_not_of("0 ") != std::string::npos;
    }, 3s));
    kill(first.Pid(), SIGTERM);
    ASSERT_TRUE(first.WaitForExit(3s)) << S().Output(0);
    EXPECT_EQ(first.ExitCode(), 0);

    // The sound starts when the server answers.
    ChildProcess& second = S().StartInstance();
    ASSERT_NE(S().X().WindowOf(second.Pid(), 10s), 0u) << S().Output(1);
    Pulse().Freeze(false);
    EXPECT_TRUE(WaitUntil([&] { return S().StreamOwners().count(second.Pid()) == 1; }, 10s))
        << S().Output(1);
}

TEST_F(AttackTest, AnInstanceWhoseOutputNobodyReadsGoesOn)
{
    S().StartInstance({}, { "/bin/sh", "-c", "\"$0\" 2>&1 | true", PROGRAM_PATH });
    std::map<pid_t, Window> windows;
    ASSERT_TRUE(WaitUntil([&] { return (windows = S().X().WindowsByPid()).size() == 1; }, 20s));
    pid_t pid = windows.begin()->first;
    // Its first buffer prints the format, and a bad message earns a line
    // on stderr: both to a pipe nobody reads any more.
    ASSERT_TRUE(WaitUntil([&] { return S().StreamOwners().count(pid) == 1; }, 10s));
    int peer = S().Connect(pid);
    uint8_t unknown = 7;
    EXPECT_EQ(send(peer, &unknown, 1, MSG_NOSIGNAL), 1);
    close(peer);
    std::this_thread::sleep_for(1s);
    EXPECT_TRUE(Alive(pid));
    EXPECT_EQ(S().ListedPids(), std::set<pid_t> { pid });
}

TEST_F(AttackTest, AThreadThatCantBeHadEndsStartUpWithOneLineAndNoEntry)
{
    // With a stack limit far beyond memory, every new thread's stack is
    // refused.
    if (ReadFile("/proc/sys/vm/overcommit_memory") == "1\n")
        GTEST_SKIP() << "memory is overcommitted without limit here";
    ChildProcess& instance = S().StartInstance({},
        { "/bin/sh", "-c", "ulimit -s 67108864 && exec \"$0\"", PROGRAM_PATH });
    ASSERT_TRUE(instance.WaitForExit(20s)) << S().Output();
    EXPECT_EQ(instance.ExitCode(), 1);
    EXPECT_EQ(S().Output(), "gondavel_wubbix: couldn't start: Resource temporarily unavailable\n");
    for (const std::string& name : S().RegistryFiles())
        EXPECT_FALSE(name.starts_with(std::to_string(instance.Pid()) + ".")) << name;
}
