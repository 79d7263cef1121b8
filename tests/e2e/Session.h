#pragma once

// A user's session for end-to-end tests: a private runtime directory (also
// the home directory), an X display and usually a PulseAudio server, the program's
// instances started in it, and the control tool run against them. The X
// and sound servers belong to the test, so several sessions may share them.
// Instances launched by other instances are detached processes, not the
// test's children: the session finds them by a variable of its own in
// their environment, and kills them all when it goes away, however the
// test ends.

#include "ChildProcess.h"
#include "TempDirectory.h"

#include <gtest/gtest.h>

// After GoogleTest: Xlib's macros (None, Bool, ...) would break its headers.
#include "XClient.h"

#include <sys/types.h>

#include <array>
#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

class PulseServer;
class XvfbServer;

class Session {
public:
    Session(const std::string& display, const PulseServer& pulse);
    // A session that names no sound server: instances find their own.
    explicit Session(const std::string& display);
    ~Session();

    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    const TempDirectory& Runtime() const { return fRuntime; }
    XClient& X() { return fX; }
    const XClient& X() const { return fX; }
    const PulseServer& Pulse() const { return *fPulse; }

    // The environment an instance gets: the session's display, sound server
    // and runtime directory, the sanitizers' settings and a plain PATH.
    std::vector<std::string> Environment() const;
    // Starts `argv` (by default the program as built) as a child with that
    // environment, changed by `changes`: "NAME=value" sets a variable,
    // "NAME" removes it. Its stdout and stderr, shared with the instances
    // it launches, go to a file of its own. Doesn't wait for it.
    ChildProcess& StartInstance(const std::vector<std::string>& changes = {},
        const std::vector<std::string>& argv = {});
    ChildProcess& Instance(size_t n) { return *fInstances.at(n); }
    size_t Started() const { return fInstances.size(); }
    std::string Output(size_t n = 0) const;
    std::string AllOutput() const;
    // Kills every instance, started here or launched, and waits for them.
    void KillAll();

    // The instances that run: a process an instance forks shares its
    // environment until it execs something else, so only processes whose
    // parent is none of the session's count.
    std::set<pid_t> LiveInstances() const;
    // The program's registry directory (under the runtime directory unless
    // `root` names another registry root); empty before anyone registered.
    std::filesystem::path RegistryDirectory(const std::filesystem::path& root = {}) const;
    std::set<std::string> RegistryFiles(const std::filesystem::path& root = {}) const;
    // The files a registered instance has once it has set up.
    static std::set<std::string> EntryFiles(pid_t pid);

    // Runs the control tool with `arguments` in the session's environment,
    // changed by `changes` as for StartInstance(); stdout and stderr together.
    ChildProcess::Result Ctl(const std::vector<std::string>& arguments,
        const std::vector<std::string>& changes = {}) const;
    // The instances `list` shows, with their published index; empty (and a
    // failure) when the tool fails.
    std::map<pid_t, std::string> Listed(const std::vector<std::string>& changes = {}) const;
    std::set<pid_t> ListedPids() const;

    // The process ids of the sound server's streams.
    std::multiset<pid_t> StreamOwners() const;
    // A connection to the message socket of the instance `pid`; -1 if there
    // is none. Sending blocks for at most 5 seconds.
    int Connect(pid_t pid) const;

    // Whether the picture of the window of `pid` changes within 20 seconds.
    // Colours change with pitch steps, which come by chance; every 3
    // seconds the instance is made to roll its chances again, through the
    // control tool, so that a tiny one can't hold it still.
    bool PictureChanges(pid_t pid) const;
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
    const PulseServer* fPulse;
    XClient fX;
    std::vector<std::unique_ptr<ChildProcess>> fInstances;
};

// A fixture whose tests each run in a session of their own, on an X server
// and a sound server that the suite's tests share. Each test starts with no
// window and no stream, and leaves none.
class SessionTest : public testing::Test {
protected:
    static void SetUpTestSuite();
    static void TearDownTestSuite();
    void SetUp() override;
    void TearDown() override;

    Session& S() { return *fSession; }
    const XClient& X() const { return fSession->X(); }
    static XvfbServer& Xvfb() { return *sX; }
    static PulseServer& Pulse() { return *sPulse; }

private:
    static inline XvfbServer* sX = nullptr;
    static inline PulseServer* sPulse = nullptr;
    std::unique_ptr<Session> fSession;
};
