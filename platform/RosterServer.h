#pragma once

// The registry side of one running instance, used by BApplication: the
// instance's entry in the per-user registry, held for the process's lifetime,
// and its message socket. A thread of its own accepts connections on that
// socket and reads messages from processes of the same user; each complete,
// well-formed message is handed to the delivery function on that thread.
// Oversized, slow or malformed input is dropped with one line on stderr.
//
// Not part of the program's view of the platform: only the platform's own
// classes use it.

#include "platform/SupportDefs.h"

#include <functional>
#include <memory>
#include <string>

class BMessage;

// Which looper of the receiving instance a message is for.
enum class MessageTarget : uint8 {
    Application = 0,
    Window = 1,
};

class RosterServer {
public:
    using Deliver = std::function<void(MessageTarget target, const BMessage& message)>;

    // Registers this process under `signature` and starts listening. On
    // failure returns nullptr and sets `error`, with `reason` a one-line
    // explanation for the user.
    static std::unique_ptr<RosterServer> Start(const char* signature, Deliver deliver,
        status_t* error, std::string* reason);
    // Stops the thread, then removes the socket and the registry entry.
    ~RosterServer();

    // The message an instance was launched with (Launch's `message`), taken
    // from the process's start-up state once; nullptr if there was none or
    // it was malformed.
    static std::unique_ptr<BMessage> TakeLaunchMessage();

    // Sends `message` to the instance with process id `pid` registered under
    // `signature`. Waits at most `timeoutMicros` for the connection and the
    // write. Used by tools and tests that talk to running instances.
    static status_t Send(const char* signature, int pid, MessageTarget target,
        const BMessage& message, bigtime_t timeoutMicros = 1000000);

    // Publishes `info`, flattened, as this instance's description in its
    // registry entry, replacing any earlier one; it is removed with the
    // entry. Readers see the old description or the new one, never a mix.
    // Call it from one thread at a time.
    status_t PublishInfo(const BMessage& info);
    // The description the instance with process id `pid` registered under
    // `signature` published, as untrusted data. B_ENTRY_NOT_FOUND when no
    // such instance runs, B_NAME_NOT_FOUND when it published nothing,
    // B_BAD_DATA when what it left is not a well-formed message; on any
    // error `info` is left empty. Used by tools and tests.
    static status_t ReadInstanceInfo(const char* signature, int pid, BMessage* info);

    RosterServer(const RosterServer&) = delete;
    RosterServer& operator=(const RosterServer&) = delete;

private:
    struct Impl;
    explicit RosterServer(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> fImpl;
};
