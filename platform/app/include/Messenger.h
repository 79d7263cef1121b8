#pragma once

// BMessenger: sends messages to a running instance of an application, in
// this process or another, found by its signature and process id. Each
// instance takes messages for its application and for its window. Safe
// from any thread. Sending waits for the message to be handled only when
// the caller asks for the reply.

#include "Message.h"
#include "Result.h"
#include "SupportDefs.h"

#include <sys/types.h>

#include <string>

// Which looper of the receiving instance a message is for.
enum class MessageTarget : uint8 {
    Application = 0,
    Window = 1,
};

class BMessenger {
public:
    BMessenger(const char* signature, pid_t pid, MessageTarget target = MessageTarget::Application);

    // Sends `message`, waiting at most `timeoutMicros` for the connection
    // and the write. Fails with B_ENTRY_NOT_FOUND when no such instance
    // runs, B_PERMISSION_DENIED when it is not ours to talk to, B_TIMED_OUT
    // when it doesn't take the message in time, B_BAD_VALUE for a message
    // too large to send.
    Result<> SendMessage(const BMessage& message, bigtime_t timeoutMicros = 1000000) const;
    // Sends `message` as above, within `sendTimeout`, then waits at most
    // `replyTimeout` for the reply, which may take up to
    // BMessage::kMaxReplySize bytes flattened, and returns it: a reply
    // B_NO_REPLY (and nothing else) when the instance let the message go
    // unanswered, refused it, or ended. Fails with the errors above;
    // B_TIMED_OUT also when no whole reply came in time, B_BAD_VALUE for a
    // malformed or oversized one. Timeouts past a day count as a day. Asked
    // from the thread that would handle the message, it can only time out.
    Result<BMessage> SendMessage(const BMessage& message, bigtime_t sendTimeout,
        bigtime_t replyTimeout) const;

private:
    std::string fSignature;
    pid_t fPid;
    MessageTarget fTarget;
};
