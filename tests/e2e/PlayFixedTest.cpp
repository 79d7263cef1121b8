// The drone demo as a user runs it: a process of its own, playing through the
// sound server until it is told to stop.

#include "ChildProcess.h"
#include "PulseServer.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

using namespace std::chrono_literals;

namespace {

constexpr const char* kFormatLines = "format.frame_rate = 44100.000000\n"
                                     "format.channel_count = 2\n"
                                     "format.format 36\n"
                                     "format.byte_order = 2\n"
                                     "format.buffer_size = 8192\n";

} // namespace

// stdout is a file here, so it is fully buffered: the format lines show up
// while the demo still plays only if they are flushed as they are printed.
TEST(PlayFixed, PrintsFormatAtOnceAndStopsCleanlyOnSigterm)
{
    PulseServer server;
    std::vector<std::string> environment = server.ClientEnvironment();
    environment.push_back("SDL_AUDIODRIVER=pulseaudio");
    std::string output = server.Directory().File("play_fixed.out");
    ChildProcess demo({ PLAY_FIXED_PATH, "--seconds", "60" }, environment, output);

    auto deadline = std::chrono::steady_clock::now() + 10s;
    while (ReadFile(output).find(kFormatLines) == std::string::npos) {
        ASSERT_TRUE(demo.IsRunning()) << ReadFile(output);
        ASSERT_LT(std::chrono::steady_clock::now(), deadline)
            << "no format lines while playing:\n" << ReadFile(output);
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_EQ(server.CountSinkInputs(), 1u);

    kill(demo.Pid(), SIGTERM);
    ASSERT_TRUE(demo.WaitForExit(10s)) << "still running after SIGTERM";
    EXPECT_EQ(demo.ExitCode(), 0) << ReadFile(output);
    std::string text = ReadFile(output);
    size_t first = text.find(kFormatLines);
    EXPECT_EQ(text.find("format.frame_rate", first + 1), std::string::npos) << "printed twice";
}
