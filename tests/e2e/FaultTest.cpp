// The program when things go wrong around it, on a private X server and a
// private sound server: the display goes away under running instances;
// instances are killed while others are being launched; twenty start at the
// same moment and take twenty places; peers connect to an instance's message socket and stall,
// trickle or flood. Each test runs in a session of its own.

#include "InstanceProcesses.h"
#include "Message.h"
#include "MessageCodes.h"
#include "ProgramLines.h"
#include "PulseServer.h"
#include "Session.h"
#include "TestSupport.h"
#include "XvfbServer.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <map>
#include <random>
#include <set>
#include <thread>

using namespace std::chrono_literals;

namespace {

// The lines of `text` that are not the format the sound prints on stdout.
std::vector<std::string> OtherLines(const std::string& text)
{
    std::vector<std::string> lines = Lines(text);
    std::erase_if(lines, [](const std::string& line) { return line.starts_with(kFormatPrefix); });
    return lines;
}

// A display of each test's own, so that it can take it away.
class FaultTest : public SessionTest {
protected:
    FaultTest() : SessionTest(XServer::Own) {}
};

} // namespace

TEST_F(FaultTest, LosingTheDisplayEndsEveryInstanceAtOnceWithOneLineAndNoTrace)
{
    for (int i = 0; i < 3; i++)
        S().StartInstance();
    ASSERT_TRUE(S().WaitUntilSettled(60s)) << S().AllOutput();
    ASSERT_EQ(S().LiveInstances().size(), 3u) << S().AllOutput();
    // The sound has printed its format, so all that follows is the fault's.
    for (size_t n = 0; n < 3; n++)
        ASSERT_TRUE(S().Says(n, kFormatLines)) << S().Output(n);
    std::vector<std::string> before;
    for (size_t n = 0; n < 3; n++)
        before.push_back(S().Output(n));
    const std::string display = Xvfb().Display();

    LoseDisplay();

    for (size_t n = 0; n < 3; n++) {
        ChildProcess& instance = S().Instance(n);
        SCOPED_TRACE("instance " + std::to_string(instance.Pid()));
        ASSERT_TRUE(S().Exits(instance, 1, 5s));
        EXPECT_EQ(S().Output(n).substr(before[n].size()),
            kDisplayLostPrefix + "display " + display + "\n");
        EXPECT_EQ(S().RegistryFilesOf(instance.Pid()), std::set<std::string> {});
    }
    EXPECT_EQ(S().RegistryFiles(), std::set<std::string> { "executable" });
    EXPECT_TRUE(WaitUntil([&] { return S().StreamOwners().empty(); }, 10s))
        << Pulse().ListSinkInputs();
    EXPECT_EQ(S().LiveInstances(), std::set<pid_t> {});
}

TEST_F(FaultTest, KillingInstancesWhileOthersLaunchLeavesAnExactRosterAndNoLeaks)
{
    // Started one after another, so the first two take the places of
    // indexes 0 and 1 for good: every later instance counts them and lands
    // elsewhere. They are the ones clicked, and never killed.
    ASSERT_TRUE(S().StartOneAfterAnother(4));
    ASSERT_TRUE(S().WaitUntilSettled(30s)) << S().AllOutput();
    const std::array<pid_t, 2> clicked = { S().Instance(0).Pid(), S().Instance(1).Pid() };
    std::map<pid_t, int> descriptors;
    for (pid_t pid : clicked) {
        descriptors[pid] = SettledDescriptorCount(pid);
        ASSERT_GT(descriptors[pid], 0);
    }
    const std::map<pid_t, std::string> descriptorsBefore
        = { { clicked[0], Descriptors(clicked[0]) }, { clicked[1], Descriptors(clicked[1]) } };
    std::array<std::array<int, 2>, 2> places;
    for (size_t i = 0; i < 2; i++) {
        Window window = X().WindowOf(clicked[i]);
        ASSERT_NE(window, 0u);
        places[i] = X().Middle(window);
    }

    unsigned seed = std::random_device()();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 generator(seed);
    std::set<pid_t> killed;
    for (int round = 0; round < 10; round++) {
        SCOPED_TRACE("round " + std::to_string(round));
        std::set<pid_t> known = S().LiveInstances();
        X().Click(places[round % 2]);
        // Whoever is not clicked may go, also one still setting up; one
        // killed before may not have finished dying yet.
        std::vector<pid_t> others;
        for (pid_t pid : known) {
            if (pid != clicked[0] && pid != clicked[1] && killed.count(pid) == 0)
                others.push_back(pid);
        }
        if (!others.empty()) {
            pid_t victim = others[generator() % others.size()];
            ASSERT_EQ(kill(victim, SIGKILL), 0);
            killed.insert(victim);
        }
        // The launched instance has started when it holds a lock.
        auto started = [&] {
            for (pid_t pid : S().Locked()) {
                if (known.count(pid) == 0 && Alive(pid))
                    return true;
            }
            return false;
        };
        ASSERT_TRUE(WaitUntil(started, 20s)) << S().AllOutput();
    }
    EXPECT_EQ(killed.size(), 10u);
    // No zombies: those started here are reaped by the test, those
    // launched by whoever they were handed to, init or a subreaper.
    auto reaped = [&] {
        for (size_t n = 0; n < S().Started(); n++)
            S().Instance(n).IsRunning();
        return std::none_of(killed.begin(), killed.end(), [](pid_t pid) { return State(pid) != 0; });
    };
    EXPECT_TRUE(WaitUntil(reaped, 10s)) << "killed instances left as zombies";

    ASSERT_TRUE(S().WaitUntilSettled(60s, { clicked[0], clicked[1] })) << S().AllOutput();
    std::set<pid_t> live = S().LiveInstances();
    // Each round launched one and killed one.
    EXPECT_EQ(live.size(), 4u);
    EXPECT_EQ(S().ListedPids(), live);
    // Listing has removed what the killed ones left behind.
    std::set<std::string> expected = { "executable" };
    for (pid_t pid : live)
        expected.merge(Session::EntryFiles(pid));
    EXPECT_EQ(S().RegistryFiles(), expected);

    for (pid_t pid : live)
        EXPECT_EQ(ChildrenOf(pid), std::vector<pid_t> {}) << "children of instance " << pid;
    for (pid_t pid : clicked) {
        EXPECT_EQ(CountDescriptors(pid), descriptors[pid])
            << "before:\n" + descriptorsBefore.at(pid) << "after:\n" + Descriptors(pid);
    }
    // The survivors still answer, and end cleanly.
    for (size_t i = 0; i < 2; i++) {
        EXPECT_TRUE(S().Instance(i).IsRunning()) << S().Output(i);
        ASSERT_TRUE(S().EndsCleanly(S().Instance(i), 20s));
    }
    for (size_t n = 0; n < S().Started(); n++)
        EXPECT_EQ(OtherLines(S().Output(n)), std::vector<std::string> {}) << S().Output(n);
}

TEST_F(FaultTest, TwentyInstancesStartedAtOnceAllRunAndTakeAnIndexAndAPlaceEach)
{
    for (int i = 0; i < 20; i++)
        S().StartInstance();
    std::set<pid_t> started;
    for (size_t n = 0; n < S().Started(); n++)
        started.insert(S().Instance(n).Pid());

    // Twenty connections at once overflow the sound server's listening
    // queue; the ones it turns away try again, so every instance sounds.
    ASSERT_TRUE(S().WaitUntilSettled(90s, started)) << S().AllOutput();
    // A few seconds on, all still run.
    std::this_thread::sleep_for(2s);
    EXPECT_EQ(S().LiveInstances(), started) << S().AllOutput();
    EXPECT_EQ(S().ListedPids(), started);
    EXPECT_EQ(X().WindowsByPid().size(), 20u);
    // Each counted those that registered before it: every index once, and
    // every window in a place of its own.
    std::set<std::string> indices;
    for (const ListedInstance& listed : S().List())
        indices.insert(listed.index);
    EXPECT_EQ(indices, (std::set<std::string> { "0", "1", "2", "3", "4", "5", "6", "7", "8", "9", "10", "11", "12", "13", "14", "15", "16", "17", "18", "19" }));
    std::set<std::array<int, 4>> places;
    for (const auto& [pid, window] : X().WindowsByPid())
        places.insert(X().Frame(window));
    EXPECT_EQ(places.size(), 20u);
    std::set<std::string> expected = { "executable" };
    for (pid_t pid : started)
        expected.merge(Session::EntryFiles(pid));
    EXPECT_EQ(S().RegistryFiles(), expected);

    for (size_t n = 0; n < S().Started(); n++)
        kill(S().Instance(n).Pid(), SIGTERM);
    for (size_t n = 0; n < S().Started(); n++) {
        SCOPED_TRACE("instance " + std::to_string(n));
        ASSERT_TRUE(S().Exits(S().Instance(n), 0, 30s));
        EXPECT_EQ(OtherLines(S().Output(n)), std::vector<std::string> {}) << S().Output(n);
    }
    EXPECT_EQ(S().RegistryFiles(), std::set<std::string> { "executable" });
}

namespace {

// What a peer on an instance's message socket does.
enum class Peer {
    Silent,       // connects and sends nothing
    ByteASecond,  // sends one byte, then another a second later, ...
    JunkMegabyte, // 1 MB in the largest packets it can, then 1 MB in one send
    RerollFlood,  // 1 MB of well-formed requests to roll the settings again, three times
};

constexpr size_t kMegabyte = 1 << 20;

// Sends `packet` again and again until a send fails or `total` bytes have
// gone; how many bytes went.
size_t SendPackets(int fd, const std::vector<uint8>& packet, size_t total)
{
    size_t sent = 0;
    while (sent < total) {
        if (send(fd, packet.data(), packet.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(packet.size()))
            break;
        sent += packet.size();
    }
    return sent;
}

class SlowPeerTest : public FaultTest, public testing::WithParamInterface<Peer> {
protected:
    // Plays the peer on `fd`; returns how many connections it opened in all.
    int Play(int fd, pid_t pid)
    {
        switch (GetParam()) {
        case Peer::Silent: {
            // Said nothing for long enough, it is let go.
            char byte;
            auto letGo = [&] { return recv(fd, &byte, 1, MSG_DONTWAIT) == 0; };
            EXPECT_TRUE(WaitUntil(letGo, 20s)) << "a silent peer is kept forever";
            return 1;
        }
        case Peer::ByteASecond: {
            // A lone byte is no message: after the first, the peer is cut off.
            int sent = 0;
            for (; sent < 5; sent++) {
                uint8 byte = 0;
                if (send(fd, &byte, 1, MSG_NOSIGNAL) != 1)
                    break;
                std::this_thread::sleep_for(1s);
            }
            EXPECT_LT(sent, 5) << "the trickle was never cut off";
            return 1;
        }
        case Peer::JunkMegabyte: {
            std::vector<uint8> packet(64 * 1024, 0xa5);
            EXPECT_LT(SendPackets(fd, packet, kMegabyte), kMegabyte) << "the junk was all taken";
            // One send of it all: more than a socket buffer holds.
            int whole = S().Connect(pid);
            EXPECT_GE(whole, 0);
            std::vector<uint8> megabyte(kMegabyte, 0x5a);
            ssize_t sent = send(whole, megabyte.data(), megabyte.size(), MSG_NOSIGNAL);
            EXPECT_NE(sent, static_cast<ssize_t>(megabyte.size()));
            close(whole);
            return 2;
        }
        case Peer::RerollFlood: {
            std::vector<uint8> packet = BMessage(INIT_SLIDERS).Flatten();
            packet.insert(packet.begin(), 1); // to the window
            // Each burst fills the window's queue, and ends well apart from
            // the next.
            for (int burst = 0; burst < 3; burst++) {
                std::this_thread::sleep_for(burst > 0 ? 1500ms : 0ms);
                EXPECT_EQ(SendPackets(fd, packet, kMegabyte) / packet.size(),
                    (kMegabyte + packet.size() - 1) / packet.size())
                    << "the flood was cut short";
            }
            return 1;
        }
        }
        return 0;
    }
};

} // namespace

TEST_P(SlowPeerTest, InstanceKeepsDrawingStaysRegisteredAndEndsCleanly)
{
    ChildProcess& instance = S().StartInstance();
    pid_t pid = instance.Pid();
    ASSERT_TRUE(S().WaitUntilSettled(30s)) << S().Output(0);
    ASSERT_TRUE(S().Says(0, kFormatLines)) << S().Output(0);
    size_t before = S().Output(0).size();
    int descriptors = SettledDescriptorCount(pid);
    ASSERT_GT(descriptors, 0);

    int peer = S().Connect(pid);
    ASSERT_GE(peer, 0) << strerror(errno);
    int connections = 0;
    std::thread player([&] { connections = Play(peer, pid); });

    // Meanwhile the window goes on pulsing and drawing, and other senders
    // get through: a message for an unknown target earns its one line.
    EXPECT_TRUE(S().PictureChanges(pid)) << S().Output(0);
    EXPECT_TRUE(SendPacket(S().RegistryFile(pid, ".sock"), { 7 }));
    const std::string unknownLine = kRefusedMessagePrefix + "it is for an unknown target (7)";
    EXPECT_TRUE(S().Says(0, unknownLine)) << S().Output(0);

    player.join();
    close(peer);
    EXPECT_TRUE(S().PictureChanges(pid)) << S().Output(0);
    EXPECT_EQ(S().ListedPids(), std::set<pid_t> { pid });
    EXPECT_TRUE(instance.IsRunning()) << S().Output(0);
    // Every connection is closed once its peer has gone.
    EXPECT_TRUE(WaitUntil([&] { return CountDescriptors(pid) == descriptors; }, 10s))
        << "descriptors before: " << descriptors << "\nnow:\n" + Descriptors(pid);

    ASSERT_TRUE(S().EndsCleanly(instance, 20s));
    // At most one line for each connection that sent something wrong and
    // one with the count of what followed, beside the unknown target's; the
    // control tool's own requests earn none.
    std::vector<std::string> lines = OtherLines(S().Output(0).substr(before));
    EXPECT_LE(lines.size(), static_cast<size_t>(connections) + 2) << testing::PrintToString(lines);
    EXPECT_EQ(std::ranges::count(lines, unknownLine), 1) << testing::PrintToString(lines);
    EXPECT_EQ(S().RegistryFiles(), std::set<std::string> { "executable" });
}

INSTANTIATE_TEST_SUITE_P(Peers, SlowPeerTest,
    testing::Values(Peer::Silent, Peer::ByteASecond, Peer::JunkMegabyte, Peer::RerollFlood),
    CaseNames<Peer>({ "Silent", "ByteASecond", "JunkMegabyte", "RerollFlood" }));
