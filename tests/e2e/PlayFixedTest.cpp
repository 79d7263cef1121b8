// The drone demo as a user runs it: a process of its own, playing through the
// sound server until it is told to stop.

#include "ProgramLines.h"
#include "PulseServer.h"
#include "Session.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// A sound server of each test's own and no display.
class PlayFixed : public SessionTest {
protected:
    PlayFixed() : SessionTest(XServer::Absent, Sound::OwnPulse) {}
};

} // namespace

// stdout is a file here, so it is fully buffered: the format lines show up
// while the demo still plays only if they are flushed as they are printed.
TEST_F(PlayFixed, PrintsFormatAtOnceAndStopsCleanlyOnSigterm)
{
    ChildProcess& demo = S().StartInstance({}, { kPlayFixedPath, "--seconds", "60" });

    ASSERT_TRUE(S().Says(0, kFormatLines)) << "no format lines while playing:\n" + S().Output();
    ASSERT_TRUE(demo.IsRunning()) << S().Output();
    EXPECT_EQ(Pulse().CountSinkInputs(), 1u);

    ASSERT_TRUE(S().EndsCleanly(demo));
    EXPECT_EQ(LinesStartingWith(S().Output(), kFormatPrefix), Lines(kFormatLines)) << S().Output();
}
