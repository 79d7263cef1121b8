#pragma once

// BApplication: the process's one application looper, reachable as be_app.
// Construct it on the main thread before any other thread exists: it blocks
// SIGINT, SIGTERM, SIGHUP and every other signal that would end the process
// without a core dump (SIGUSR1, SIGALRM, the real-time ones, ...) for the
// whole process and turns them into a B_QUIT_REQUESTED, ignores SIGPIPE and
// SIGXFSZ, opens the display, and registers the instance with the roster so
// other instances can send it messages. Without a display (said in one
// line), or with a quit signal come while it opened the display or waited
// its turn to register, it goes no further: InitCheck() says so, and the
// program is to end at once. Registering and the program's first
// count of its own instances (be_roster->GetAppList() with its signature)
// are one step: instances started at the same moment take turns, each
// counting those that registered before it. Run() ends the turn too, if
// nothing counted, then loops on the calling thread until a quit request is
// accepted, ends the remaining windows and returns.
// Hooks run on that thread with the application locked; PostMessage() is
// safe from any thread.

#include "Looper.h"
#include "Result.h"

#include <memory>
#include <string>

inline constexpr uint32 B_REFS_RECEIVED = FourCC("RREF");

class RosterServer;

class BApplication : public BLooper {
public:
    explicit BApplication(const char* signature);
    // Stops taking messages from other instances and removes the roster
    // entry.
    ~BApplication() override;

    // Why the application couldn't start: B_INTERRUPTED when a quit signal
    // came first (nothing said), any other code when the display couldn't
    // be opened (said on stderr). A thread may still wait on the display
    // then: the program ends at once, without static destructors.
    const Result<>& InitCheck() const { return fInitStatus; }

    // Loops on the calling thread; returns once the application has quit.
    // B_TIMED_OUT when a window's thread didn't end (said on stderr): it
    // waits on the display, and the program is to end at once.
    thread_id Run() override;
    // Ends the loop (from the application's thread: once the current hook
    // returns). Unlike other loopers the application is not deleted.
    void Quit() override;

    // Called once, on the application's thread, when Run() starts looping,
    // before any queued message.
    virtual void ReadyToRun();
    void MessageReceived(BMessage* message) override;
    // Called for B_REFS_RECEIVED.
    virtual void RefsReceived(BMessage* message);
    bool QuitRequested() override;
    void DispatchMessage(BMessage* message, BHandler* handler) override;

    const char* Signature() const { return fSignature.c_str(); }

    // Publishes a small description of this instance (at most
    // BMessage::kMaxFlattenedSize bytes flattened) in its roster entry,
    // replacing any earlier one, for tools to read by process id
    // (BRoster::GetInstanceInfo). It goes away with the entry when the
    // instance ends. Call it from the application's thread. B_NO_INIT when
    // the instance is not registered.
    Result<> SetInstanceInfo(const BMessage& info);
    // What the sound server lists this instance's sound by, once it starts;
    // the program's name until this is called.
    void SetInstanceLabel(const char* label);

protected:
    void MessageQueued() override;

private:
    void Deliver(int target, const BMessage& message);
    void HandleSignals();

    std::string fSignature;
    Result<> fInitStatus;
    int fSignalFd = -1;
    int fWakeFd = -1;
    std::unique_ptr<RosterServer> fRosterServer;
};

extern BApplication* be_app;
