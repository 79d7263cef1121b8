#pragma once

// BMessenger: sends messages to a running instance of an application, in
// this process or another, found by its signature and process id. Each
// instance takes messages for its application and for its window. Safe
// from any thread; sending doesn't wait for the message to be handled.

#include "SupportDefs.h"

#include <sys/types.h>

#include <string>

class BMessage;

// Which looper of the receiving instance a message is for.
enum class MessageTarget : uint8 {
    Application = 0,
    Window = 1,
};

class BMessenger {
public:
    BMessenger(const char* signature, pid_t pid, MessageTarget target = MessageTarget::Application);

    // Sends `message`, waiting at most `timeoutMicros` for the connection
    // and the write. B_ENTRY_NOT_FOUND when no such instance runs,
    // B_PERMISSION_DENIED when it is not ours to talk to, B_TIMED_OUT when
    // it doesn't take the message in time, B_BAD_VALUE for a message too
    // large to send.
    status_t SendMessage(const BMessage& message, bigtime_t timeoutMicros = 1000000) const;

private:
    std::string fSignature;
    pid_t fPid;
    MessageTarget fTarget;
};
