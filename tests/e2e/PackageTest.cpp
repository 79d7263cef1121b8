// The Debian package's programs, unpacked into a directory of their own
// rather than installed, as a user gets them: the first instance shows its
// window and sounds, a click launches the next from the same place, and the
// package's control tool quits them all.

#include "ChildProcess.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

// After GoogleTest: Xlib's macros (None, Bool, ...) would break its headers.
#include "Session.h"

#include <filesystem>

using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

using PackageTest = SessionTest;

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

} // namespace

TEST_F(PackageTest, UnpackedProgramShowsItsWindowSoundsLaunchesAnotherAndQuitsWithItsTool)
{
    std::string package = PackageFile();
    ASSERT_FALSE(package.empty()) << "no package in GW_PACKAGE_DIR";
    TempDirectory root("gw_package");
    ChildProcess::Result unpacked = ChildProcess::Run({ "dpkg-deb", "-x", package, root.Path() }, S().Environment(), 60s);
    ASSERT_TRUE(unpacked.exited && unpacked.exitCode == 0) << unpacked.output;
    std::string games = root.File("usr/games/");
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
