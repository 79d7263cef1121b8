// KDE's animation speed, read from kdeglobals as KDE writes it, followed
// as it changes, and never waited on.

#include "KdeGlobals.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

TEST(KdeGlobals, OnlyAFactorOfZeroInTheKdeGroupTurnsAnimationsOff)
{
    auto Off = KdeGlobals::AnimationsOff;
    EXPECT_EQ(Off("[General]\nColorScheme=Breeze\n\n[KDE]\nAnimationDurationFactor=0\n"), true);
    EXPECT_EQ(Off("[KDE][$i]\r\n AnimationDurationFactor = 0.0 \r\n"), true);
    EXPECT_EQ(Off("[KDE]\nAnimationDurationFactor[$i]=0"), true);
    EXPECT_EQ(Off("[KDE]\nAnimationDurationFactor=0.5\n"), false);
    EXPECT_EQ(Off("[KDE]\nAnimationDurationFactor=0\nAnimationDurationFactor=1\n"), false);
    // Elsewhere, not a number, or nothing at all.
    for (const char* text : { "", "AnimationDurationFactor=0", "[General]\nAnimationDurationFactor=0",
             "[KDE][Other]\nAnimationDurationFactor=0", "[KDE]\nAnimationDurationFactorX=0",
             "[KDE]\nAnimationDurationFactor=0x0", "[KDE]\nAnimationDurationFactor=-1",
             "[KDE]\nAnimationDurationFactor=nan", "[KDE]\nAnimationDurationFactor=" })
        EXPECT_EQ(Off(text), std::nullopt) << text;
}

TEST(KdeGlobals, AWatchFollowsTheFileOnceASecondAndNeverWaitsOnIt)
{
    std::filesystem::path directory = testing::TempDir() + "kdeglobals_test";
    std::filesystem::remove_all(directory);
    std::filesystem::create_directories(directory);
    setenv("XDG_CONFIG_HOME", directory.c_str(), 1);
    KdeGlobals watch;
    unsetenv("XDG_CONFIG_HOME");
    EXPECT_EQ(watch.AnimationsOffNow(), std::nullopt);

    std::ofstream(directory / "kdeglobals.new") << "[KDE]\nAnimationDurationFactor=0\n";
    std::filesystem::rename(directory / "kdeglobals.new", directory / "kdeglobals");
    watch.Update(KdeGlobals::kCheckInterval);
    EXPECT_EQ(watch.AnimationsOffNow(), true);
    std::ofstream(directory / "kdeglobals") << "[KDE]\nAnimationDurationFactor=0.5\n";
    watch.Update(2 * KdeGlobals::kCheckInterval - 1);
    EXPECT_EQ(watch.AnimationsOffNow(), true);
    watch.Update(2 * KdeGlobals::kCheckInterval);
    EXPECT_EQ(watch.AnimationsOffNow(), false);

    // A FIFO in its place is not waited on.
    std::filesystem::remove(directory / "kdeglobals");
    ASSERT_EQ(mkfifo((directory / "kdeglobals").c_str(), 0600), 0);
    watch.Update(3 * KdeGlobals::kCheckInterval);
    EXPECT_EQ(watch.AnimationsOffNow(), std::nullopt);
    std::filesystem::remove_all(directory);
}
