#pragma once

// A user's session for end-to-end tests: a private runtime directory (also
// the home directory), usually an X display and a sound server, the
// program's instances (or other programs) started in it, and the control
// tool run against them. The X and sound servers belong to the test, so
// several sessions may share them. Instances launched by other instances are
// detached processes, not the test's children: the session finds them by a
// variable of its own in their environment, and kills them all when it goes
// away, however the test ends.
//
// SessionTest is the fixture the end-to-end tests build on: each test gets a
// session of its own, on servers its suite shares or that it owns.

#include "ChildProcess.h"
#include "PictureSampler.h"
#include "TempDirectory.h"
#include "TestSupport.h"
#include "XClient.h"

#include <gtest/gtest.h>

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

class PipeWireServer;
class PulseServer;
class SoundServer;
class XvfbServer;

// What the control tool printed, its standard output and error apart.
struct CtlResult {
    bool exited = false; // false when it hung
    int exitCode = -1;
    std::string out;
    std::string err;
};

// One line of the control tool's `list`.
struct ListedInstance {
    pid_t pid = 0;
    std::string index;
    std::string title;
    bool operator==(const ListedInstance&) const = default;
};
void PrintTo(const ListedInstance& instance, std::ostream* out);

// A connection to the message socket at `path`; -1 if there is none.
// Sending blocks for at most 5 seconds.
int ConnectToSocket(const std::string& path);
// Sends `packet` on a connection of its own to the socket at `path`, and
// closes it; whether all of it went.
bool SendPacket(const std::string& path, const std::vector<uint8_t>& packet);

// Names the cases of a test parameterised on an enum after its values,
// given in the enum's order, for INSTANTIATE_TEST_SUITE_P.
template <typename Enum>
auto CaseNames(std::vector<std::string> names)
{
    return [names](const testing::TestParamInfo<Enum>& info) {
        return names.at(static_cast<size_t>(info.param));
    };
}

class Session {
public:
    // A session on `display` (none if empty) whose instances play to
    // `sound`, or find a sound server by themselves if it is null.
    Session(const std::string& display, const SoundServer* sound);
    ~Session();

    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    const TempDirectory& Runtime() const { return fRuntime; }
    XClient& X() { return fX; }
    const XClient& X() const { return fX; }

    // The environment an instance gets: the session's display, sound server
    // and runtime directory, the sanitizers' settings and a plain PATH, with
    // the session's changes.
    std::vector<std::string> Environment() const;
    // Changes the environment of all the session starts from now on,
    // instances and the control tool alike, as StartInstance() does.
    void ChangeEnvironment(const std::vector<std::string>& changes)
    {
        fChanges.insert(fChanges.end(), changes.begin(), changes.end());
    }
    // Starts `argv` (by default the program as built) as a child with that
    // environment, changed by `changes`: "NAME=value" sets a variable,
    // "NAME" removes it. Its stdout and stderr, shared with the instances
    // it launches, go to a file of its own. Doesn't wait for it.
    ChildProcess& StartInstance(const std::vector<std::string>& changes = {},
        const std::vector<std::string>& argv = {});
    // Starts `count` instances one after another, each once the one before
    // is listed with its index, so that each counts those before it: in a
    // session where none ran before, they get 0, 1, 2, ...
    testing::AssertionResult StartOneAfterAnother(size_t count,
        std::chrono::milliseconds timeout = std::chrono::seconds(20));
    ChildProcess& Instance(size_t n) { return *fInstances.at(n); }
    const ChildProcess& Instance(size_t n) const { return *fInstances.at(n); }
    size_t Started() const { return fInstances.size(); }
    std::string Output(size_t n = 0) const;
    std::string AllOutput() const;
    // Waits up to `timeout` until the output of the n-th instance holds `text`.
    bool Says(size_t n, const std::string& text,
        std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
    // Whether `instance` exits with status `code` within `timeout`; if not,
    // how it ended and what it printed.
    testing::AssertionResult Exits(ChildProcess& instance, int code,
        std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
    // Sends SIGTERM to `instance`, then as Exits() with status 0.
    testing::AssertionResult EndsCleanly(ChildProcess& instance,
        std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
    // Kills every instance, started here or launched, and waits for them.
    void KillAll();

    // Runs `program` and `control` instead of the programs as built.
    void UsePrograms(const std::string& program, const std::string& control)
    {
        fProgram = program;
        fCtl = control;
    }
    // A copy of the program, the same one each time, in a directory of its
    // own that the test may empty or hand to someone else.
    std::string ProgramCopy();
    // Points this process's own registry at the session's runtime
    // directory, for talking to instances directly, until the session ends.
    void JoinFromThisProcess();

    // The instances that run: a process an instance forks shares its
    // environment until it execs something else, so only processes whose
    // parent is none of the session's count.
    std::set<pid_t> LiveInstances() const;
    // The program's registry directory (under the runtime directory unless
    // `root` names another registry root); empty before anyone registered.
    std::filesystem::path RegistryDirectory(const std::filesystem::path& root = {}) const;
    std::set<std::string> RegistryFiles(const std::filesystem::path& root = {}) const;
    // The registry's files of the instance `pid`: none once it has ended.
    std::set<std::string> RegistryFilesOf(pid_t pid) const;
    // The path of its file with `extension` (".sock", ".lock", ...).
    std::string RegistryFile(pid_t pid, const std::string& extension) const;
    // The files a registered instance has once it has set up.
    static std::set<std::string> EntryFiles(pid_t pid);
    // The instances with a lock file in the registry, dead or alive.
    std::set<pid_t> Locked() const;

    // Runs the control tool with `arguments` in the session's environment.
    CtlResult Ctl(const std::vector<std::string>& arguments) const;
    // The lines of `list` below its header, in order; a failure when the
    // tool fails or says anything on stderr.
    std::vector<ListedInstance> List() const;
    // The same by process, with each one's index.
    std::map<pid_t, std::string> Listed() const;
    std::set<pid_t> ListedPids() const;

    // The process ids of the sound server's streams.
    std::multiset<pid_t> StreamOwners() const;
    // Whether the sound server's sink sounds within `timeout` from now.
    bool Sounds(std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
    // A connection to the message socket of the instance `pid`; -1 if there
    // is none. Sending blocks for at most 5 seconds.
    int Connect(pid_t pid) const;

    // Whether the picture of the window of `pid` changes within 20 seconds.
    // Colours change with pitch steps, which come by chance; every 3
    // seconds the instance is made to roll its chances again, through the
    // control tool, so that a tiny one can't hold it still.
    bool PictureChanges(pid_t pid) const;
    // Samples the picture of the window of `pid` as a screen sampler does
    // (see PictureSampler), two seconds at a time, until its changes so far
    // are `enough`; after two seconds with fewer than four changes, the
    // instance is made to roll its chances again, as above. The changes seen go to
    // `changes` when given; false if they weren't enough within `timeout`.
    bool WatchPicture(pid_t pid,
        const std::function<bool(const std::vector<PictureChange>&)>& enough,
        std::vector<PictureChange>* changes = nullptr,
        std::chrono::milliseconds timeout = std::chrono::seconds(40)) const;
    // Waits up to `timeout` until every live instance has set up: it is
    // listed with its index, its window is mapped and its sound plays.
    // Those in `required` (by default every one started here) must be
    // among them, and no dead one may be listed. On failure, says what was
    // missing last.
    testing::AssertionResult WaitUntilSettled(std::chrono::milliseconds timeout,
        std::set<pid_t> required = {}) const;

private:
    std::vector<std::string> Changed(std::vector<std::string> environment,
        const std::vector<std::string>& changes) const;

    TempDirectory fRuntime { "gw_session" };
    std::string fDisplay;
    const SoundServer* fSound;
    std::string fProgram = kProgramPath;
    std::string fCtl = kCtlPath;
    XClient fX;
    std::vector<std::string> fChanges;
    std::vector<std::unique_ptr<ChildProcess>> fInstances;
    std::unique_ptr<TempDirectory> fCopyDirectory;
    std::optional<std::string> fOwnRuntime;
    bool fJoined = false;
    mutable std::atomic<int> fRuns { 0 };
};

// A fixture whose tests each run in a session of their own. By default the
// session is on an X server and a PulseAudio server that the suite's tests
// share: each test starts with no window and no stream there, and leaves
// none. A fixture may instead give each test an X server of its own (one it
// can take away) or none, and a sound server of its own (one it can kill,
// PulseAudio or native PipeWire) or none.
class SessionTest : public testing::Test {
protected:
    enum class XServer { Shared,
        Own,
        Absent };
    enum class Sound { SharedPulse,
        OwnPulse,
        OwnPipeWire,
        Absent };

    explicit SessionTest(XServer x = XServer::Shared, Sound sound = Sound::SharedPulse);
    ~SessionTest() override;
    static void TearDownTestSuite();
    // Skips the test when it needs PipeWire and PipeWire isn't installed.
    void SetUp() override;
    void TearDown() override;

    Session& S() { return *fSession; }
    const Session& S() const { return *fSession; }
    const XClient& X() const { return fSession->X(); }
    XvfbServer& Xvfb();
    PulseServer& Pulse();
    PipeWireServer& PipeWire();
    // Ends the test's own X server, after the test's own connection, which
    // Xlib would otherwise end the test process for.
    void LoseDisplay();

private:
    XServer fXServer;
    Sound fSound;
    static inline XvfbServer* sX = nullptr;
    static inline PulseServer* sPulse = nullptr;
    std::unique_ptr<XvfbServer> fOwnX;
    std::unique_ptr<PulseServer> fOwnPulse;
    std::unique_ptr<PipeWireServer> fOwnPipeWire;
    std::unique_ptr<Session> fSession;
};
