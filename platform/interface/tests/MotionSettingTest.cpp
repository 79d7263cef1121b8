// GW_REDUCED_MOTION as the user wrote it: 1 or 0 decide, anything else is
// said once and leaves the choice to the desktop.

#include "MotionSetting.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

TEST(MotionSetting, OnlyOneOrZeroDecideAndAnythingElseIsSaidOnce)
{
    std::string log = testing::TempDir() + "motion_setting_stderr";
    int saved = dup(STDERR_FILENO);
    ASSERT_TRUE(freopen(log.c_str(), "w", stderr) != nullptr);
    const std::pair<const char*, std::optional<bool>> cases[] = { { "1", true }, { "0", false },
        { "", std::nullopt }, { "01", std::nullopt }, { " 1", std::nullopt },
        { "yes", std::nullopt }, { "1\n", std::nullopt } };
    for (const auto& [value, expected] : cases) {
        setenv("GW_REDUCED_MOTION", value, 1);
        EXPECT_EQ(MotionSetting::FromEnvironment(), expected) << value;
    }
    unsetenv("GW_REDUCED_MOTION");
    dup2(saved, STDERR_FILENO);
    close(saved);
    std::stringstream said;
    said << std::ifstream(log).rdbuf();
    EXPECT_EQ(said.str(), "gondavel_wubbix: couldn't follow GW_REDUCED_MOTION: \"01\" is "
                          "neither 1 nor 0; the desktop's setting counts\n");
}
