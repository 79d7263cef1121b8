// The program against another local user and at unlucky moments, on a
// private X server and sound server shared by the suite: each test stages
// one fault in a session of its own and checks that the instance holds.

#include "InstanceProcesses.h"
#include "ProgramLines.h"
#include "PulseServer.h"
#include "Session.h"
#include "TempDirectory.h"
#include "TestSupport.h"
#include "ThrowawayUser.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <thread>

using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

using AttackTest = SessionTest;

} // namespace

TEST_F(AttackTest, LaunchNeverRunsAProgramAnotherUserPutWhereOursWas)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to act as another user";
    ThrowawayUser other;
    ASSERT_NE(other.Uid(), 0u) << "couldn't create a throwaway user";
    std::string program = S().ProgramCopy();
    Window window = X().WindowOf(S().StartInstance({}, { program }).Pid());
    ASSERT_NE(window, 0u) << S().Output();
    // From where only we can write, a click launches; the new instance runs
    // the program once it shows its window, not before.
    X().Click(X().Middle(window));
    ASSERT_TRUE(WaitUntil([&] { return X().WindowsByPid().size() == 2; }, 20s)) << S().Output();

    // The directory goes; the other user makes it again, with a program of
    // their own where ours was.
    std::string place = fs::path(program).parent_path();
    std::string ran = place + "/ran";
    fs::remove_all(place);
    ASSERT_EQ(mkdir(place.c_str(), 0755), 0);
    std::ofstream(program) << "#!/bin/sh\ntouch " << ran << "\n";
    ASSERT_EQ(chmod(program.c_str(), 0755), 0);
    ASSERT_EQ(chown(program.c_str(), other.Uid(), other.Gid()), 0);
    ASSERT_EQ(chown(place.c_str(), other.Uid(), other.Gid()), 0);

    X().Click(X().Middle(window));
    ASSERT_TRUE(S().Says(0, kAlertPrefix)) << S().Output();
    std::this_thread::sleep_for(500ms);
    EXPECT_FALSE(fs::exists(ran)) << "the other user's program ran";
    EXPECT_EQ(S().LiveInstances().size(), 2u);
}

TEST_F(AttackTest, LaunchGoesOnFromTheUsersOwnGroupAndNamesAGroupOfOthersItRefuses)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to act as another user";
    ThrowawayUser other;
    ASSERT_NE(other.Uid(), 0u) << "couldn't create a throwaway user";
    // As made with umask 002: writable by the user's own group, which holds
    // nobody else.
    std::string program = S().ProgramCopy();
    std::string place = fs::path(program).parent_path();
    ASSERT_EQ(chmod(place.c_str(), 0775), 0);
    ASSERT_EQ(chmod(program.c_str(), 0775), 0);
    Window window = X().WindowOf(S().StartInstance({}, { program }).Pid());
    ASSERT_NE(window, 0u) << S().Output();
    X().Click(X().Middle(window));
    ASSERT_TRUE(WaitUntil([&] { return X().WindowsByPid().size() == 2; }, 20s)) << S().Output();

    // A group that holds another user could swap the program.
    ASSERT_EQ(chown(place.c_str(), 0, other.Gid()), 0);
    X().Click(X().Middle(window));
    ASSERT_TRUE(S().Says(0, kAlertPrefix)) << S().Output();
    EXPECT_EQ(LinesStartingWith(S().Output(), "gondavel_wubbix: couldn't"),
        std::vector<std::string> { "gondavel_wubbix: couldn't launch another instance: " + place
            + " is writable by group " + other.Name() + ", which holds other users" });
    EXPECT_EQ(S().LiveInstances().size(), 2u);
}

TEST_F(AttackTest, PlacesOfOtherUsersAreLeftAloneAndEveryToolFindsTheOneInstancesUse)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to act as another user";
    ThrowawayUser other;
    ASSERT_NE(other.Uid(), 0u) << "couldn't create a throwaway user";
    // Their runtime directory, as after a plain su, named to steer a
    // terminal, and our registry's name in the shared directory, taken by
    // them first.
    TempDirectory theirs("gw_theirs\x1b[1m\n");
    TempDirectory shared("gw_shared");
    const std::string taken = shared.File("gw-roster-0");
    ASSERT_EQ(mkdir(taken.c_str(), 0700), 0);
    for (const std::string& path : { theirs.Path(), taken })
        ASSERT_EQ(chown(path.c_str(), other.Uid(), other.Gid()), 0);
    S().ChangeEnvironment({ "XDG_RUNTIME_DIR=" + theirs.Path(), "TMPDIR=" + shared.Path() });
    ASSERT_TRUE(S().StartOneAfterAnother(1));
    // Once their name has gone, the next instance still joins the first.
    ASSERT_EQ(rmdir(taken.c_str()), 0);
    ASSERT_TRUE(S().StartOneAfterAnother(1));

    std::string machine;
    std::ifstream("/etc/machine-id") >> machine;
    const std::string cache
        = S().Runtime().File(".cache/gw-roster" + (machine.empty() ? "" : "-" + machine));
    const std::string theirsTaken
        = ": is owned by uid " + std::to_string(other.Uid()) + ", not 0; ";
    const std::string refusal = "gondavel_wubbix: XDG_RUNTIME_DIR /tmp/gw_theirs\\x1b[1m\\n"
        + theirs.Path().substr(theirs.Path().rfind('.')) + theirsTaken;
    EXPECT_EQ(LinesStartingWith(S().Output(0), "gondavel_wubbix: "), std::vector<std::string> { refusal + "registry " + taken + theirsTaken + "using " + cache + " instead" });
    EXPECT_EQ(LinesStartingWith(S().Output(1), "gondavel_wubbix: "), std::vector<std::string> { refusal + "using " + cache + ", where instances run already" });
    EXPECT_TRUE(fs::is_empty(theirs.Path()));
    EXPECT_FALSE(fs::exists(taken));
    CtlResult quit = S().Ctl({ "quit", "all" });
    EXPECT_EQ(quit.exitCode, 0) << quit.err;
    for (size_t n = 0; n < 2; n++)
        ASSERT_TRUE(S().Exits(S().Instance(n), 0, 20s));
}

TEST_F(AttackTest, AnAlertHoldsNothingOfItsInstanceAndGoesWithIt)
{
    // One after the other, so that their windows take places of their own.
    ChildProcess& first = S().StartInstance({}, { S().ProgramCopy() });
    Window firstWindow = X().WindowOf(first.Pid());
    ChildProcess& second = S().StartInstance({}, { S().ProgramCopy() });
    Window secondWindow = X().WindowOf(second.Pid());
    ASSERT_TRUE(firstWindow != 0 && secondWindow != 0) << S().AllOutput();
    fs::remove(S().ProgramCopy());
    std::vector<Window> before = X().TopLevelWindows();
    X().Click(X().Middle(firstWindow));
    X().Click(X().Middle(secondWindow));
    ASSERT_TRUE(WaitUntil([&] { return X().TopLevelWindowsBut(before).size() == 2; }, 10s))
        << S().AllOutput();
    // Each box belongs to its instance's window, under the program's class.
    std::set<Window> owners;
    for (Window box : X().TopLevelWindowsBut(before)) {
        owners.insert(X().TransientFor(box));
        EXPECT_EQ(X().Class(box), "gondavel_wubbix.gondavel_wubbix");
    }
    EXPECT_EQ(owners, (std::set<Window> { firstWindow, secondWindow }));

    // No copy of either instance runs the box.
    EXPECT_EQ(ChildrenOf(first.Pid()), std::vector<pid_t> {});
    EXPECT_EQ(ChildrenOf(second.Pid()), std::vector<pid_t> {});
    // Asked to quit, the first ends, and its box with it; killed, the
    // second leaves nothing listed.
    CtlResult quit = S().Ctl({ "quit", std::to_string(first.Pid()) });
    EXPECT_EQ(quit.exitCode, 0) << quit.err;
    ASSERT_TRUE(S().Exits(first, 0, 5s));
    kill(second.Pid(), SIGKILL);
    ASSERT_TRUE(second.WaitForExit(5s));
    EXPECT_EQ(S().ListedPids(), std::set<pid_t> {});
    EXPECT_TRUE(WaitUntil([&] { return X().TopLevelWindows().empty(); }, 5s));
    EXPECT_EQ(CountOf(S().AllOutput(), kAlertPrefix), 2u) << S().AllOutput();
}

TEST_F(AttackTest, RunningOutOfDescriptorsForPeersIsSaidOnceAndTheInstanceGoesOn)
{
    if (kSanitized)
        GTEST_SKIP() << "the sanitizers need descriptors of their own to look at the process";
    ChildProcess& instance = S().StartInstance({},
        { "/bin/sh", "-c", "ulimit -n 32 && exec \"$0\"", kProgramPath });
    ASSERT_TRUE(S().WaitUntilSettled(30s)) << S().Output();
    std::vector<int> peers;
    for (int i = 0; i < 20; i++)
        peers.push_back(S().Connect(instance.Pid()));
    std::this_thread::sleep_for(2s);
    for (int peer : peers)
        close(peer);
    const std::string outOfDescriptors = kRefusedMessagePrefix
        + "Too many open files; closing the connection idle longest and waiting\n";
    EXPECT_EQ(CountOf(S().Output(), outOfDescriptors), 1u) << S().Output().substr(0, 2000);
    EXPECT_TRUE(S().PictureChanges(instance.Pid())) << S().Output();
    ASSERT_TRUE(S().EndsCleanly(instance));
}

TEST_F(AttackTest, AStoppedSoundServerHoldsUpNoWindowAndNoQuitAndAHeldStartLockNoQuit)
{
    Pulse().Freeze(true);
    ChildProcess& first = S().StartInstance();
    Window window = X().WindowOf(first.Pid(), 10s);
    ASSERT_NE(window, 0u) << S().Output(0);
    // Drawn: no longer the black of a window nobody has drawn in.
    auto drawn = [&] { return X().Picture(window).find_first_not_of("0 ") != std::string::npos; };
    EXPECT_TRUE(WaitUntil(drawn, 3s));
    ASSERT_TRUE(S().EndsCleanly(first, 3s));

    // The sound starts when the server answers.
    ChildProcess& second = S().StartInstance();
    ASSERT_NE(X().WindowOf(second.Pid(), 10s), 0u) << S().Output(1);
    Pulse().Freeze(false);
    EXPECT_TRUE(WaitUntil([&] { return S().StreamOwners().count(second.Pid()) == 1; }, 10s))
        << S().Output(1);

    // An instance waiting its turn to register, behind a start lock held
    // for good, ends at once when told to.
    int held = open(S().RegistryDirectory().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_EQ(flock(held, LOCK_EX), 0);
    std::error_code error;
    ChildProcess& waiting = S().StartInstance();
    const std::string proc = "/proc/" + std::to_string(waiting.Pid());
    auto waitingItsTurn = [&] {
        return fs::read_symlink(proc + "/exe", error) == kProgramPath
            && Descriptors(waiting.Pid()).find(S().RegistryDirectory()) != std::string::npos;
    };
    ASSERT_TRUE(WaitUntil(waitingItsTurn, 10s));
    EXPECT_TRUE(S().EndsCleanly(waiting, 1s)) << S().Output(2);
    close(held);
}

TEST_F(AttackTest, AnInstanceWhoseOutputNobodyReadsGoesOn)
{
    S().StartInstance({}, { "/bin/sh", "-c", "\"$0\" 2>&1 | true", kProgramPath });
    std::map<pid_t, Window> windows;
    ASSERT_TRUE(WaitUntil([&] { return (windows = X().WindowsByPid()).size() == 1; }, 20s));
    pid_t pid = windows.begin()->first;
    // Its first buffer prints the format, and a bad message earns a line
    // on stderr: both to a pipe nobody reads any more.
    ASSERT_TRUE(WaitUntil([&] { return S().StreamOwners().count(pid) == 1; }, 10s));
    EXPECT_TRUE(SendPacket(S().RegistryFile(pid, ".sock"), { 7 }));
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
        { "/bin/sh", "-c", "ulimit -s 67108864 && exec \"$0\"", kProgramPath });
    ASSERT_TRUE(S().Exits(instance, 1, 20s));
    EXPECT_EQ(S().Output(), "gondavel_wubbix: couldn't start: Resource temporarily unavailable\n");
    EXPECT_EQ(S().RegistryFilesOf(instance.Pid()), std::set<std::string> {});
}
