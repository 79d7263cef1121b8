// The Debian package's programs, unpacked into a directory of their own
// rather than installed, as a user gets them: the first instance shows its
// window and sounds, a click launches the next from the same place, and the
// package's control tool quits them all. Beside the build's own program,
// the package's ends however a display or window manager treats it.

#include "ChildProcess.h"
#include "PulseServer.h"
#include "Session.h"
#include "TestSupport.h"
#include "WindowManager.h"
#include "XvfbServer.h"

#include <gtest/gtest.h>

#include <filesystem>

using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

// The one package in the directory that GW_PACKAGE_DIR names.
std::string PackageFile()
{
    const char* directory = getenv("GW_PACKAGE_DIR");
    if (directory == nullptr)
        return {};
    for (const fs::directory_entry& entry : fs::directory_iterator(directory)) {
        if (entry.path().extension() == ".deb")
            return entry.path();
    }
    return {};
}

// Unpacks the package into `root`: the directory its programs are in, or
// empty (the test failed) if it can't.
std::string UnpackedPrograms(const TempDirectory& root, const Session& session)
{
    std::string package = PackageFile();
    EXPECT_FALSE(package.empty()) << "no package in GW_PACKAGE_DIR";
    ChildProcess::Result unpacked = ChildProcess::Run({ "dpkg-deb", "-x", package, root.Path() },
        session.Environment(), 60s);
    EXPECT_TRUE(unpacked.exited && unpacked.exitCode == 0) << unpacked.output;
    return package.empty() || unpacked.exitCode != 0 ? "" : root.File("usr/games/");
}

using PackageTest = SessionTest;

} // namespace

TEST_F(PackageTest, UnpackedProgramShowsItsWindowSoundsLaunchesAnotherAndQuitsWithItsTool)
{
    TempDirectory root("gw_package");
    std::string games = UnpackedPrograms(root, S());
    ASSERT_FALSE(games.empty());
    S().UsePrograms(games + "gondavel_wubbix", games + "gondavel_wubbix-ctl");
    // A release: its version is the bare number.
    ChildProcess::Result version = ChildProcess::Run({ games + "gondavel_wubbix", "--version" }, S().Environment(), 5s);
    EXPECT_EQ(version.output, "gondavel_wubbix 1.1.0\n");

    ChildProcess& first = S().StartInstance();
    ASSERT_TRUE(S().WaitUntilSettled(20s)) << S().AllOutput();
    EXPECT_TRUE(S().Sounds());
    X().Click({ 512, 404 });
    ASSERT_NE(X().FindWindow("ondavel_wubbixg"), 0u) << S().AllOutput();
    ASSERT_TRUE(S().WaitUntilSettled(20s)) << S().AllOutput();
    std::set<pid_t> instances = S().LiveInstances();
    ASSERT_EQ(instances.size(), 2u);
    for (pid_t pid : instances)
        EXPECT_EQ(fs::read_symlink("/proc/" + std::to_string(pid) + "/exe"), games + "gondavel_wubbix");

    CtlResult quit = S().Ctl({ "quit", "all" });
    EXPECT_EQ(quit.exitCode, 0) << quit.err;
    EXPECT_TRUE(S().Exits(first, 0));
    EXPECT_TRUE(WaitUntil([&] { return S().LiveInstances().empty(); }, 10s));
    EXPECT_EQ(S().List(), std::vector<ListedInstance> {});
}

TEST_F(PackageTest, WhateverTheDisplayOrWindowManagerDoesEveryWayOfQuittingEndsTheInstance)
{
    TempDirectory root("gw_package");
    std::string games = UnpackedPrograms(root, S());
    ASSERT_FALSE(games.empty());
    // A display of its own, for the window manager.
    XvfbServer x;
    Session session(x.Display(), &Pulse());
    const std::pair<std::string, std::string> programs[] = { { kProgramPath, kCtlPath },
        { games + "gondavel_wubbix", games + "gondavel_wubbix-ctl" } };
    for (const auto& [program, control] : programs) {
        SCOPED_TRACE(program);
        session.UsePrograms(program, control);
        // Started on a display that never answers.
        MuteDisplay mute;
        ChildProcess& hanging = session.StartInstance({ "DISPLAY=" + mute.Display() });
        ASSERT_TRUE(WaitUntil([&] { return mute.Called(); }, 10s));
        EXPECT_TRUE(session.EndsCleanly(hanging));

        // Started before the window manager, its window destroyed from outside.
        ChildProcess& early = session.StartInstance();
        Window window = session.X().WindowOf(early.Pid());
        ASSERT_NE(window, 0u) << session.AllOutput();
        WindowManager manager(x.Display());
        ASSERT_TRUE(WaitUntil([&] { return session.X().FrameExtents(window).size() == 4; }, 10s));
        session.X().Destroy(window);
        EXPECT_TRUE(session.Exits(early, 0));

        // A window manager that stops answering holds up no way of quitting.
        manager.Stop();
        ChildProcess& terminated = session.StartInstance();
        ChildProcess& quitted = session.StartInstance();
        std::set<pid_t> both { terminated.Pid(), quitted.Pid() };
        ASSERT_TRUE(WaitUntil([&] { return session.ListedPids() == both; }, 20s)) << session.AllOutput();
        EXPECT_TRUE(session.EndsCleanly(terminated));
        EXPECT_EQ(session.Ctl({ "quit", std::to_string(quitted.Pid()) }).exitCode, 0);
        EXPECT_TRUE(session.Exits(quitted, 0));
    }
}
