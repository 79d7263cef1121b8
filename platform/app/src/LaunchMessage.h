#pragma once

// How a launched instance gets the message it was launched with: the
// launcher flattens the message and puts it, hex-encoded, in one environment
// variable of the new process; the new process decodes it as untrusted
// input. Plain functions, safe from any thread.

#include "Result.h"
#include "SupportDefs.h"

#include <memory>
#include <string>

class BMessage;

class LaunchMessage {
public:
    static constexpr const char* kVariable = "GW_LAUNCH_MESSAGE";

    // "GW_LAUNCH_MESSAGE=<hex>" for `message`; B_BAD_VALUE if it doesn't
    // flatten within BMessage::kMaxFlattenedSize.
    static Result<std::string> Encode(const BMessage& message);
    // The message in the variable's value; B_BAD_DATA when the value is
    // malformed.
    static Result<std::unique_ptr<BMessage>> Decode(const char* value);
    // The message this process was launched with, taken from its
    // environment once; nullptr if there was none, or if it was malformed
    // (then said on stderr).
    static std::unique_ptr<BMessage> Take();
};
