// The program and its sound server over time: how many instances one server
// carries, what the one it can't carry does, and how instances get their
// streams back when the server dies and returns or a stream is killed. Every
// test runs real instances of the program on a private X server and a
// private PulseAudio server of its own.

#include "ProgramLines.h"
#include "PulseServer.h"
#include "Session.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <csignal>
#include <iostream>
#include <map>
#include <optional>
#include <set>
#include <thread>

using namespace std::chrono_literals;

namespace {

// What PulseAudio logs for each connection it turns away when full.
constexpr const char* kDroppedConnection = "Too many connections";
// The instances that must have a stream each on one server at once.
constexpr size_t kStreamingInstances = 56;
// Far more than a PulseAudio server takes (64 clients in all), so that the
// search for the refused instance ends.
constexpr size_t kMaxInstances = 80;
// Each look at the sound server starts a pactl, so it looks less often.
constexpr auto kPactlInterval = 100ms;

// A display and a sound server of each test's own, which it may kill.
class SoundServerTest : public SessionTest {
protected:
    SoundServerTest() : SessionTest(XServer::Own, Sound::OwnPulse) {}
};

// PulseAudio takes 64 clients in all. With one client per instance, the
// server gives a stream to every instance up to its limit, and the one too
// many carries on without sound. (A PulseAudio sink mixes only the first 32
// of its streams, so not all of them are heard at once.)
TEST_F(SoundServerTest, ManyInstancesGetStreamsAndTheOneTooManyCarriesOnSilently)
{
    if (kSanitized)
        GTEST_SKIP() << "dozens of sanitized instances are too heavy for this machine";
    if (!Pulse().IsPulseAudio())
        GTEST_SKIP() << "needs PulseAudio itself, for its limit on clients";
    // Each instance's stream before the next starts, so that a slow start
    // can't be mistaken for a refusal.
    for (size_t n = 0; n < kStreamingInstances; n++) {
        pid_t pid = S().StartInstance().Pid();
        ASSERT_TRUE(Pulse().WaitForStream(pid, 20s))
            << "instance " << n << " got no stream\n" + S().Output(n);
    }
    auto streams = Pulse().Streams();
    ASSERT_TRUE(streams);
    EXPECT_EQ(streams->size(), kStreamingInstances);
    {
        auto clients = Pulse().Clients();
        ASSERT_TRUE(clients);
        for (size_t n = 0; n < S().Started(); n++)
            EXPECT_EQ(clients->count(S().Instance(n).Pid()), 1u) << "one client per instance";
    }
    EXPECT_TRUE(S().Sounds());

    // Up to the server's limit, then one more. With the server full, pactl
    // can't connect, so a client that stays connected counts the new
    // streams; it takes one of the server's places itself.
    ChildProcess watcher({ "pactl", "subscribe" }, Pulse().ClientEnvironment(),
        S().Runtime().File("events.log"));
    auto newStreams = [&] {
        return CountOf(ReadFile(S().Runtime().File("events.log")),
            "Event 'new' on sink-input");
    };
    auto connected = [&] {
        auto clients = Pulse().Clients();
        return clients && clients->count(watcher.Pid()) == 1;
    };
    ASSERT_TRUE(WaitUntil(connected, 10s, kPactlInterval)) << "the watching client didn't connect";
    size_t refused = 0;
    for (size_t n = kStreamingInstances; n < kMaxInstances && refused == 0; n++) {
        size_t before = newStreams();
        S().StartInstance();
        auto outcome = [&] {
            return newStreams() > before || !LinesStartingWith(S().Output(n), kNoSoundPrefix).empty();
        };
        ASSERT_TRUE(WaitUntil(outcome, 20s))
            << "instance " << n << " got no stream and didn't give up\n" + S().Output(n);
        if (!LinesStartingWith(S().Output(n), kNoSoundPrefix).empty())
            refused = n;
    }
    ASSERT_NE(refused, 0u) << "the server took " << kMaxInstances << " instances";
    std::cout << "instances with a stream: " << refused << "\n";
    RecordProperty("instances_with_a_stream", static_cast<int>(refused));

    // The refused instance says so once, stays up with its window and in
    // the roster, and doesn't knock on the server's door again: the server
    // logs each connection it drops.
    ChildProcess& extra = S().Instance(refused);
    std::vector<std::string> refusals = LinesStartingWith(S().Output(refused), kNoSoundPrefix);
    ASSERT_EQ(refusals.size(), 1u) << S().Output(refused);
    std::cout << "the refused instance printed: " << refusals[0] << "\n";
    EXPECT_GT(refusals[0].size(), kNoSoundPrefix.size()) << "no reason given";
    size_t dropped = CountOf(Pulse().Log(), kDroppedConnection);
    EXPECT_GE(dropped, 1u) << Pulse().Log();
    std::this_thread::sleep_for(2s);
    EXPECT_EQ(CountOf(Pulse().Log(), kDroppedConnection), dropped)
        << "the refused instance kept trying:\n" + Pulse().Log();
    EXPECT_TRUE(extra.IsRunning()) << S().Output(refused);
    EXPECT_TRUE(WaitUntil([&] { return X().WindowOf(extra.Pid(), 0ms) != 0; }, 10s)) << "no window";
    EXPECT_EQ(S().ListedPids().count(extra.Pid()), 1u) << "not registered";

    // An instance that quits gives its client back, and the refused one
    // doesn't take it.
    pid_t first = S().Instance(0).Pid();
    ASSERT_TRUE(S().EndsCleanly(S().Instance(0)));
    std::optional<std::multiset<pid_t>> clients;
    auto gone = [&] {
        clients = Pulse().Clients();
        return clients && clients->count(first) == 0;
    };
    ASSERT_TRUE(WaitUntil(gone, 10s, kPactlInterval)) << "the quitting instance's client stayed";
    EXPECT_EQ(clients->count(extra.Pid()), 0u) << "the refused instance connected later";

    // A new instance then gets a stream. That fills the server again, so
    // the watcher makes room for pactl to see whose it is.
    size_t before = newStreams();
    pid_t late = S().StartInstance().Pid();
    EXPECT_TRUE(WaitUntil([&] { return newStreams() > before; }, 20s))
        << S().Output(S().Started() - 1);
    watcher.Stop(SIGINT);
    EXPECT_TRUE(Pulse().WaitForStream(late, 10s)) << S().Output(S().Started() - 1);
}

TEST_F(SoundServerTest, InstancesGetTheirStreamsBackWhenTheServerReturns)
{
    for (size_t n = 0; n < 3; n++) {
        pid_t pid = S().StartInstance().Pid();
        ASSERT_TRUE(Pulse().WaitForStream(pid, 20s)) << S().Output(n);
    }

    Pulse().Kill();
    std::this_thread::sleep_for(1s);
    Pulse().Start();
    // From the moment the server answers pactl again.
    auto answered = std::chrono::steady_clock::now();
    std::optional<std::map<pid_t, uint32_t>> streams;
    auto allBack = [&] {
        streams = Pulse().Streams();
        return streams && streams->size() == 3;
    };
    bool back = WaitUntil(allBack, 5s);
    auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - answered);
    std::cout << "all streams back " << elapsed.count() << " ms after the server answered\n";
    RecordProperty("streams_back_ms", static_cast<int>(elapsed.count()));
    ASSERT_TRUE(back) << "streams after 5 s: " << (streams ? streams->size() : 0);
    for (size_t n = 0; n < S().Started(); n++)
        EXPECT_EQ(streams->count(S().Instance(n).Pid()), 1u);
    EXPECT_TRUE(S().Sounds());

    for (size_t n = 0; n < S().Started(); n++) {
        SCOPED_TRACE("instance " + std::to_string(n));
        EXPECT_TRUE(S().Instance(n).IsRunning()) << S().Output(n);
        EXPECT_EQ(LinesStartingWith(S().Output(n), kSoundLostLine).size(), 1u) << S().Output(n);
        EXPECT_TRUE(S().EndsCleanly(S().Instance(n)));
    }
}

TEST_F(SoundServerTest, InstanceEndsCleanlyWhileItsServerIsDown)
{
    pid_t pid = S().StartInstance().Pid();
    ASSERT_TRUE(Pulse().WaitForStream(pid, 20s)) << S().Output(0);

    Pulse().Kill();
    ASSERT_TRUE(S().Says(0, kSoundLostLine)) << S().Output(0);
    // Long enough for a few attempts at reconnecting.
    std::this_thread::sleep_for(1s);
    EXPECT_TRUE(S().EndsCleanly(S().Instance(0)));
    EXPECT_EQ(LinesStartingWith(S().Output(0), kSoundLostLine).size(), 1u) << S().Output(0);
}

TEST_F(SoundServerTest, KilledStreamComesBack)
{
    pid_t pid = S().StartInstance().Pid();
    ASSERT_TRUE(Pulse().WaitForStream(pid, 20s)) << S().Output(0);
    uint32_t index = Pulse().Streams()->at(pid);

    Pulse().KillSinkInput(index);
    std::optional<std::map<pid_t, uint32_t>> streams;
    auto renewed = [&] {
        streams = Pulse().Streams();
        return streams && streams->count(pid) > 0 && streams->at(pid) != index;
    };
    ASSERT_TRUE(WaitUntil(renewed, 5s, kPactlInterval)) << "no new stream\n" + S().Output(0);
    EXPECT_TRUE(S().Sounds());
    EXPECT_EQ(LinesStartingWith(S().Output(0), kSoundLostLine).size(), 1u) << S().Output(0);
    {
        auto clients = Pulse().Clients();
        ASSERT_TRUE(clients);
        EXPECT_EQ(clients->count(pid), 1u) << "the instance kept one client";
    }
    EXPECT_TRUE(S().EndsCleanly(S().Instance(0)));
}

} // namespace
