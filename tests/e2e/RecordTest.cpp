// The control tool recording running instances: three of them on a private
// X server and sound server play on without a gap while it takes their
// state and writes what they will play; instances that can't be recorded,
// a peer that answers junk, a file that can't be written, and stops while
// it waits and while it writes.

#include "FakeInstance.h"
#include "InstanceProcesses.h"
#include "MessageCodes.h"
#include "Messenger.h"
#include "MonitorRecorder.h"
#include "ProgramInfo.h"
#include "PulseServer.h"
#include "Session.h"
#include "TakeFile.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <signal.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <thread>

using namespace std::chrono_literals;

namespace {

class RecordTest : public SessionTest {
protected:
    std::string File(const std::string& name) const { return S().Runtime().File(name); }
    std::string PidText(size_t n) const { return std::to_string(S().Instance(n).Pid()); }
};

TEST_F(RecordTest, RecordsThreeInstancesWhileTheirStreamsGoOnWithoutAGap)
{
    ASSERT_TRUE(S().StartOneAfterAnother(3));
    ASSERT_TRUE(S().WaitUntilSettled(30s));
    std::optional<std::map<pid_t, uint32_t>> streams = Pulse().Streams();
    ASSERT_TRUE(streams && streams->size() == 3u);
    std::vector<std::unique_ptr<MonitorRecorder>> recorders;
    for (const auto& [pid, stream] : *streams)
        recorders.push_back(std::make_unique<MonitorRecorder>(Pulse(),
            File("stream" + std::to_string(pid) + ".raw"), stream));
    // A second of each stream before the take and after it.
    ASSERT_TRUE(recorders.back()->WaitForFrames(44100, 20s));
    CtlResult record = S().Ctl({ "record", "--seconds", "10", "-o", File("take.wav"), "all" });
    EXPECT_EQ(record.exitCode, 0);
    EXPECT_TRUE(record.out.empty() && record.err.starts_with("gondavel_wubbix-ctl: gain -")
        && record.err.find(" dB puts the peak at -1.0") != std::string::npos)
        << record.err;
    for (auto& recorder : recorders) {
        ASSERT_TRUE(recorder->WaitForFrames(recorder->Frames() + 44100, 20s));
        recorder->Stop();
        EXPECT_LT(LongestSilenceInside(recorder->Samples()), 32u) << "a stream has a gap";
    }

    TakeFile take = TakeFile::Read(File("take.wav"));
    EXPECT_EQ(take.frames, 441000);
    EXPECT_EQ(take.channels, 2);
    EXPECT_TRUE(take.floatSamples);
    // -1 dBFS, or a hundredth of a decibel below.
    EXPECT_NEAR(take.Peak(), 0.8907f, 0.0007f);
    EXPECT_EQ(S().LiveInstances().size(), 3u);
}

// Requests for the state that come together share one snapshot: a flood of
// them holds the window up no more than one does, and a quit still ends
// the instance.
TEST_F(RecordTest, AFloodOfStateRequestsLeavesTheInstanceQuickToQuit)
{
    ASSERT_TRUE(S().StartOneAfterAnother(1));
    ASSERT_TRUE(S().WaitUntilSettled(30s));
    const pid_t pid = S().Instance(0).Pid();
    // The requesters look for the instance where the session's tools do.
    for (const std::string& variable : S().Environment()) {
        if (variable.rfind("XDG_RUNTIME_DIR=", 0) == 0 || variable.rfind("TMPDIR=", 0) == 0
            || variable.rfind("HOME=", 0) == 0)
            putenv(strdup(variable.c_str()));
    }
    std::atomic<bool> stop { false };
    std::atomic<int> answered { 0 };
    std::vector<std::thread> flood;
    // Half as many requesters as the instance holds connections for, so
    // that none is closed to make room.
    for (int i = 0; i < 8; i++) {
        flood.emplace_back([&] {
            while (!stop) {
                BMessenger instance(kProgramSignature, pid, MessageTarget::Window);
                Result<BMessage> reply = instance.SendMessage(BMessage(VOICE_STATE_REQUEST), 1000000, 2000000);
                if (reply && reply->what == VOICE_STATE)
                    answered++;
            }
        });
    }
    EXPECT_TRUE(WaitUntil([&] { return answered >= 100; }, 20s));
    EXPECT_EQ(S().Ctl({ "quit", PidText(0) }).exitCode, 0);
    EXPECT_TRUE(WaitUntil([&] { return !Alive(pid); }, 10s));
    stop = true;
    for (std::thread& thread : flood)
        thread.join();
}

TEST_F(RecordTest, InstancesThatCantBeRecordedGetALineEachAndTheOthersAreRecorded)
{
    ASSERT_TRUE(S().StartOneAfterAnother(3));
    // One has ended, one answers nothing, and one is no instance at all.
    ASSERT_TRUE(S().Ctl({ "quit", PidText(1) }).exitCode == 0 && S().Exits(S().Instance(1), 0, 20s));
    kill(S().Instance(2).Pid(), SIGSTOP);
    const std::string self = std::to_string(getpid());
    // A voice alone stays within full scale, but for a tenth of a decibel.
    CtlResult record = S().Ctl({ "record", "--seconds", "1", "--gain", "-1", "-o", File("take.wav"), PidText(2),
        PidText(1), self, PidText(0) });
    kill(S().Instance(2).Pid(), SIGCONT);
    EXPECT_EQ(record.exitCode, 1);
    std::vector<std::string> lines = Lines(record.err);
    const std::string gone = "gondavel_wubbix-ctl: no running instance with pid ";
    const std::set<std::string> expected = { gone + PidText(1), gone + self,
        "gondavel_wubbix-ctl: couldn't record pid " + PidText(2) + ": it gave no answer within 2 seconds" };
    EXPECT_EQ(std::set<std::string>(lines.begin(), lines.end()), expected);
    EXPECT_EQ(TakeFile::Read(File("take.wav")).frames, 44100);

    // With stderr closed, the take is no less whole.
    const std::vector<std::string> closedStderr = { "/bin/sh", "-c", "exec \"$0\" \"$@\" 2>&-", kCtlPath,
        "record", "--seconds", "1", "-o", File("closed.wav"), PidText(0) };
    ChildProcess::Result closed = ChildProcess::Run(closedStderr, S().Environment(), 20s);
    EXPECT_EQ(closed.exitCode, 0);
    EXPECT_EQ(TakeFile::Read(File("closed.wav")).frames, 44100);
}

TEST_F(RecordTest, AnAnswerThatIsNoStateGetsOneLineAndAFileThatCantBeWrittenAsksNobody)
{
    ASSERT_TRUE(S().StartOneAfterAnother(1));
    FakeInstance fake(S());
    CtlResult refused = S().Ctl({ "record", "-o", File("missing/take.wav"), "all" });
    EXPECT_EQ(refused.exitCode, 2);
    EXPECT_EQ(Lines(refused.err).size(), 1u) << refused.err;
    EXPECT_EQ(fake.Requests(), 0);

    BMessage junk(VOICE_STATE);
    junk.AddData("state", B_RAW_TYPE, "junk", 4);
    BMessage shout(VOICE_STATE);
    shout.AddString("error", ("\x1b]0;owned\a" + std::string(100000, 'x')).c_str());
    const std::pair<std::optional<BMessage>, std::string> cases[] = {
        { junk, "its state is malformed" },
        { shout, "\\x1b]0;owned\\x07" + std::string(190, 'x') + "..." },
        { BMessage(FourCC("junk")), "its answer is malformed" },
        { std::nullopt, "it doesn't know the request (an older version?)" },
    };
    for (const auto& [answer, reason] : cases) {
        fake.SetAnswer([answer](BMessage* request) {
            if (answer)
                static_cast<void>(request->SendReply(*answer));
        });
        CtlResult record = S().Ctl({ "record", "--seconds", "1", "--gain", "-1", "-o", File("take.wav"), "all" });
        EXPECT_EQ(record.exitCode, 1);
        EXPECT_EQ(record.err, "gondavel_wubbix-ctl: couldn't record pid " + std::to_string(getpid()) + ": " + reason + "\n");
        EXPECT_EQ(TakeFile::Read(File("take.wav")).frames, 44100);
    }
    EXPECT_EQ(fake.Requests(), 4);
}

TEST_F(RecordTest, AStopEndsItAtOnceWhileItWaitsOrWritesAndLeavesNothing)
{
    ASSERT_TRUE(S().StartOneAfterAnother(2));
    std::filesystem::create_directory(File("out"));
    const std::string take = File("out/take.flac");
    WriteFile(take, "an older take");
    // At a fixed gain, so that the take is written from the start.
    auto record = [&](const std::string& target) -> ChildProcess& {
        return S().StartInstance({},
            { kCtlPath, "record", "--seconds", "86400", "--gain", "-1", "-o", take, target });
    };

    // An instance that answers nothing keeps it waiting: Ctrl+C ends it
    // within a second all the same.
    kill(S().Instance(1).Pid(), SIGSTOP);
    ChildProcess& asking = record("all");
    ASSERT_TRUE(WaitUntil([&] { return CountThreads(asking.Pid()) > 1; }, 10s)) << "nobody asked";
    kill(asking.Pid(), SIGINT);
    EXPECT_TRUE(asking.WaitForExit(1s)) << "a stop waited for the answer";
    EXPECT_EQ(asking.ExitCode(), 130);
    kill(S().Instance(1).Pid(), SIGCONT);

    for (int signal : { SIGTERM, SIGUSR1, SIGKILL }) {
        ChildProcess& writing = record(PidText(0));
        ASSERT_TRUE(WaitUntil([&] { return WritesIn(writing.Pid(), File("out")); }, 20s)) << signal;
        kill(writing.Pid(), signal);
        ASSERT_TRUE(writing.WaitForExit(10s)) << signal;
    }
    auto names = std::filesystem::directory_iterator(File("out"));
    EXPECT_EQ(std::distance(begin(names), end(names)), 1) << "a file is left";
    EXPECT_EQ(ReadFile(take), "an older take");
}

} // namespace
