// The program and its sound server over time: how many instances one server
// carries, what the one it can't carry does, and how instances get their
// streams back when the server dies and returns or a stream is killed. Every
// test runs real instances of the program on a private X server and a
// private PulseAudio server of its own.

#include "MonitorRecorder.h"
#include "PulseServer.h"
#include "TestSupport.h"
#include "XvfbServer.h"

#include <gtest/gtest.h>

// After GoogleTest: Xlib's macros (None, Bool, ...) would break its headers.
#include "Session.h"

#include <csignal>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <thread>

using namespace std::chrono_literals;


namespace {

constexpr const char* kRefusalPrefix = "gondavel_wubbix: couldn't open sound output: ";
constexpr const char* kLostLine = "gondavel_wubbix: lost the sound server; reconnecting";
// What PulseAudio logs for each connection it turns away when full.
constexpr const char* kDroppedConnection = "Too many connections";
// The instances that must have a stream each on one server at once.
constexpr size_t kStreamingInstances = 56;
// Far more than a PulseAudio server takes (64 clients in all), so that the
// search for the refused instance ends.
constexpr size_t kMaxInstances = 80;

// The lines of `text` that start with `prefix`.
std::vector<std::string> LinesStartingWith(const std::string& text, const std::string& prefix)
{
    std::vector<std::string> found;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind(prefix, 0) == 0)
            found.push_back(line);
    }
    return found;
}

// Like WaitUntil, but polling every 100 ms: each look at the sound server
// starts a pactl.
bool Poll(const std::function<bool()>& done, std::chrono::milliseconds timeout)
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(100ms);
    }
    return true;
}

bool AnySound(const std::vector<float>& samples, size_t fromFrame)
{
    for (size_t i = 2 * fromFrame; i < samples.size(); i++) {
        if (samples[i] != 0.0f)
            return true;
    }
    return false;
}

class SoundServerTest : public testing::Test {
protected:
    Session& S() { return fSession; }
    std::string Output(size_t n) const { return fSession.Output(n); }

    // Each stream's index by the process id that plays it; nullopt when
    // the server doesn't answer (it is down, or has no room for pactl).
    std::optional<std::map<pid_t, uint32_t>> Streams() const
    {
        ChildProcess::Result result = fPulse.RunClient({ "pactl", "list", "sink-inputs" });
        if (!result.exited || result.exitCode != 0)
            return std::nullopt;
        std::map<pid_t, uint32_t> streams;
        std::istringstream lines(result.output);
        uint32_t index = 0;
        const std::string key = "application.process.id = \"";
        for (std::string line; std::getline(lines, line);) {
            if (line.rfind("Sink Input #", 0) == 0)
                index = static_cast<uint32_t>(std::stoul(line.substr(12)));
            else if (size_t at = line.find(key); at != std::string::npos)
                streams[std::atoi(line.c_str() + at + key.size())] = index;
        }
        return streams;
    }
    bool HasStream(pid_t pid) const
    {
        auto streams = Streams();
        return streams && streams->count(pid) > 0;
    }
    // The process ids of the server's clients; nullopt when it doesn't answer.
    std::optional<std::multiset<pid_t>> Clients() const
    {
        ChildProcess::Result result = fPulse.RunClient({ "pactl", "list", "clients" });
        if (!result.exited || result.exitCode != 0)
            return std::nullopt;
        std::multiset<pid_t> pids;
        std::istringstream lines(result.output);
        const std::string key = "application.process.id = \"";
        for (std::string line; std::getline(lines, line);) {
            if (size_t at = line.find(key); at != std::string::npos)
                pids.insert(std::atoi(line.c_str() + at + key.size()));
        }
        return pids;
    }

    // Whether the monitor records sound within 10 seconds from now.
    bool MonitorSounds()
    {
        MonitorRecorder recorder(fPulse, fSession.Runtime().File("monitor.raw"));
        size_t from = recorder.Frames();
        return WaitUntil([&] { return AnySound(recorder.Samples(), from); }, 10s);
    }

    // Sends SIGTERM to the n-th instance; whether it exits with status 0
    // within 10 seconds.
    bool EndsCleanly(size_t n)
    {
        ChildProcess& instance = fSession.Instance(n);
        kill(instance.Pid(), SIGTERM);
        return instance.WaitForExit(10s) && instance.ExitCode() == 0;
    }

    XvfbServer fX;
    PulseServer fPulse;
    Session fSession { fX.Display(), fPulse };
};

// PulseAudio takes 64 clients in all. With one client per instance, the
// server gives a stream to every instance up to its limit, and the one too
// many carries on without sound. (A PulseAudio sink mixes only the first 32
// of its streams, so not all of them are heard at once.)
TEST_F(SoundServerTest, ManyInstancesGetStreamsAndTheOneTooManyCarriesOnSilently)
{
    if (kSanitized)
        GTEST_SKIP() << "dozens of sanitized instances are too heavy for this machine";
    if (!fPulse.IsPulseAudio())
        GTEST_SKIP() << "needs PulseAudio itself, for its limit on clients";
    // Each instance's stream before the next starts, so that a slow start
    // can't be mistaken for a refusal.
    for (size_t n = 0; n < kStreamingInstances; n++) {
        pid_t pid = S().StartInstance().Pid();
        ASSERT_TRUE(Poll([&] { return HasStream(pid); }, 20s))
            << "instance " << n << " got no stream\n" << Output(n);
    }
    auto streams = Streams();
    ASSERT_TRUE(streams);
    EXPECT_EQ(streams->size(), kStreamingInstances);
    {
        auto clients = Clients();
        ASSERT_TRUE(clients);
        for (size_t n = 0; n < S().Started(); n++)
            EXPECT_EQ(clients->count(S().Instance(n).Pid()), 1u) << "one client per instance";
    }
    EXPECT_TRUE(MonitorSounds());

    // Up to the server's limit, then one more. With the server full, pactl
    // can't connect, so a client that stays connected counts the new
    // streams; it takes one of the server's places itself.
    ChildProcess watcher({ "pactl", "subscribe" }, fPulse.ClientEnvironment(),
        S().Runtime().File("events.log"));
    auto newStreams = [&] {
        return CountOf(ReadFile(S().Runtime().File("events.log")),
            "Event 'new' on sink-input");
    };
    ASSERT_TRUE(Poll([&] {
        auto clients = Clients();
        return clients && clients->count(watcher.Pid()) == 1;
    }, 10s)) << "the watching client didn't connect";
    size_t refused = 0;
    for (size_t n = kStreamingInstances; n < kMaxInstances && refused == 0; n++) {
        size_t before = newStreams();
        S().StartInstance();
        bool outcome = WaitUntil([&] {
            return newStreams() > before || !LinesStartingWith(Output(n), kRefusalPrefix).empty();
        }, 20s);
        ASSERT_TRUE(outcome) << "instance " << n << " got no stream and didn't give up\n"
                             << Output(n);
        if (!LinesStartingWith(Output(n), kRefusalPrefix).empty())
            refused = n;
    }
    ASSERT_NE(refused, 0u) << "the server took " << kMaxInstances << " instances";
    std::cout << "instances with a stream: " << refused << "\n";
    RecordProperty("instances_with_a_stream", static_cast<int>(refused));

    // The refused instance says so once, stays up with its window and in
    // the roster, and doesn't knock on the server's door again: the server
    // logs each connection it drops.
    ChildProcess& extra = S().Instance(refused);
    std::vector<std::string> refusals = LinesStartingWith(Output(refused), kRefusalPrefix);
    ASSERT_EQ(refusals.size(), 1u) << Output(refused);
    std::cout << "the refused instance printed: " << refusals[0] << "\n";
    EXPECT_GT(refusals[0].size(), std::string(kRefusalPrefix).size()) << "no reason given";
    size_t dropped = CountOf(fPulse.Log(), kDroppedConnection);
    EXPECT_GE(dropped, 1u) << fPulse.Log();
    std::this_thread::sleep_for(2s);
    EXPECT_EQ(CountOf(fPulse.Log(), kDroppedConnection), dropped)
        << "the refused instance kept trying:\n" << fPulse.Log();
    EXPECT_TRUE(extra.IsRunning()) << Output(refused);
    EXPECT_TRUE(WaitUntil([&] { return S().X().WindowOf(extra.Pid(), 0ms) != 0; }, 10s)) << "no window";
    std::string listed = S().Ctl({ "list" }).output;
    EXPECT_NE(listed.find("\n" + std::to_string(extra.Pid()) + "\t"), std::string::npos)
        << "not registered:\n" << listed;

    // An instance that quits gives its client back, and the refused one
    // doesn't take it.
    pid_t first = S().Instance(0).Pid();
    ASSERT_TRUE(EndsCleanly(0)) << Output(0);
    std::optional<std::multiset<pid_t>> clients;
    ASSERT_TRUE(Poll([&] {
        clients = Clients();
        return clients && clients->count(first) == 0;
    }, 10s)) << "the quitting instance's client stayed";
    EXPECT_EQ(clients->count(extra.Pid()), 0u) << "the refused instance connected later";

    // A new instance then gets a stream. That fills the server again, so
    // the watcher makes room for pactl to see whose it is.
    size_t before = newStreams();
    pid_t late = S().StartInstance().Pid();
    EXPECT_TRUE(WaitUntil([&] { return newStreams() > before; }, 20s))
        << Output(S().Started() - 1);
    watcher.Stop(SIGINT);
    EXPECT_TRUE(Poll([&] { return HasStream(late); }, 10s)) << Output(S().Started() - 1);
}

TEST_F(SoundServerTest, InstancesGetTheirStreamsBackWhenTheServerReturns)
{
    for (size_t n = 0; n < 3; n++) {
        pid_t pid = S().StartInstance().Pid();
        ASSERT_TRUE(Poll([&] { return HasStream(pid); }, 20s)) << Output(n);
    }

    fPulse.Kill();
    std::this_thread::sleep_for(1s);
    fPulse.Start();
    // From the moment the server answers pactl again.
    auto answered = std::chrono::steady_clock::now();
    std::optional<std::map<pid_t, uint32_t>> streams;
    bool back = WaitUntil([&] {
        streams = Streams();
        return streams && streams->size() == 3;
    }, 5s);
    auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - answered);
    std::cout << "all streams back " << elapsed.count() << " ms after the server answered\n";
    RecordProperty("streams_back_ms", static_cast<int>(elapsed.count()));
    ASSERT_TRUE(back) << "streams after 5 s: " << (streams ? streams->size() : 0);
    for (size_t n = 0; n < S().Started(); n++)
        EXPECT_EQ(streams->count(S().Instance(n).Pid()), 1u);
    EXPECT_TRUE(MonitorSounds());

    for (size_t n = 0; n < S().Started(); n++) {
        SCOPED_TRACE("instance " + std::to_string(n));
        EXPECT_TRUE(S().Instance(n).IsRunning()) << Output(n);
        EXPECT_EQ(LinesStartingWith(Output(n), kLostLine).size(), 1u) << Output(n);
        EXPECT_TRUE(EndsCleanly(n)) << Output(n);
    }
}

TEST_F(SoundServerTest, InstanceEndsCleanlyWhileItsServerIsDown)
{
    pid_t pid = S().StartInstance().Pid();
    ASSERT_TRUE(Poll([&] { return HasStream(pid); }, 20s)) << Output(0);

    fPulse.Kill();
    ASSERT_TRUE(WaitUntil([&] { return !LinesStartingWith(Output(0), kLostLine).empty(); }, 10s))
        << Output(0);
    // Long enough for a few attempts at reconnecting.
    std::this_thread::sleep_for(1s);
    EXPECT_TRUE(EndsCleanly(0)) << Output(0);
    EXPECT_EQ(LinesStartingWith(Output(0), kLostLine).size(), 1u) << Output(0);
}

TEST_F(SoundServerTest, KilledStreamComesBack)
{
    pid_t pid = S().StartInstance().Pid();
    ASSERT_TRUE(Poll([&] { return HasStream(pid); }, 20s)) << Output(0);
    uint32_t index = Streams()->at(pid);

    fPulse.KillSinkInput(index);
    std::optional<std::map<pid_t, uint32_t>> streams;
    ASSERT_TRUE(Poll([&] {
        streams = Streams();
        return streams && streams->count(pid) > 0 && streams->at(pid) != index;
    }, 5s)) << "no new stream\n" << Output(0);
    EXPECT_TRUE(MonitorSounds());
    EXPECT_EQ(LinesStartingWith(Output(0), kLostLine).size(), 1u) << Output(0);
    {
        auto clients = Clients();
        ASSERT_TRUE(clients);
        EXPECT_EQ(clients->count(pid), 1u) << "the instance kept one client";
    }
    EXPECT_TRUE(EndsCleanly(0)) << Output(0);
}

} // namespace
