#pragma once

// The registry side of one running instance, used by BApplication: the
// instance's entry in the per-user registry, held for the process's lifetime,
// and its message socket. A thread of its own accepts connections on that
// socket and reads messages from processes of the same user; each complete,
// well-formed message is handed to the delivery function on that thread.
// A message whose sender waits for a reply takes its connection along (see
// ReplyChannel); such connections count against the limit on open ones.
// Oversized, slow or malformed input is dropped. What peers bring about is
// said on stderr at most once per kind and interval, then as a count.

#include "Messenger.h"
#include "Result.h"
#include "SupportDefs.h"

#include <functional>
#include <memory>
#include <string>

class BMessage;

class RosterServer {
public:
    using Deliver = std::function<void(MessageTarget target, const BMessage& message)>;

    // Registers this process under `signature` and starts listening.
    static Result<std::unique_ptr<RosterServer>> Start(const char* signature, Deliver deliver);
    // Stops the thread, then removes the socket and the registry entry.
    ~RosterServer();

    // Publishes `info`, flattened, as this instance's description in its
    // registry entry, replacing any earlier one; it is removed with the
    // entry. Readers see the old description or the new one, never a mix.
    // Call it from one thread at a time.
    Result<> PublishInfo(const BMessage& info);
    RosterServer(const RosterServer&) = delete;
    RosterServer& operator=(const RosterServer&) = delete;

private:
    struct Impl;
    explicit RosterServer(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> fImpl;
};
