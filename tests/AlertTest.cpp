// BAlert with no display to show it on.

#include "Alert.h"

#include <gtest/gtest.h>

#include <cstdlib>

TEST(AlertWithoutDisplay, PrintsItselfAsOneEscapedLineAndReturnsTheFirstButton)
{
    unsetenv("DISPLAY");
    unsetenv("WAYLAND_DISPLAY");
    testing::internal::CaptureStderr();
    int32 pressed = (new BAlert("Title", "first line\nsecond \"line\"\t\\ \x01", "Cancel", "OK"))->Go();
    std::string printed = testing::internal::GetCapturedStderr();
    EXPECT_EQ(pressed, 0);
    EXPECT_EQ(printed,
        "gondavel_wubbix: alert: title \"Title\" text \"first line\\nsecond \\\"line\\\"\\t\\\\ \\x01\" "
        "buttons \"Cancel\" \"OK\"\n");
}
