#pragma once

// Asks running instances for their voices' state at nearly one moment: a
// thread for each instance sends it VOICE_STATE_REQUEST and waits for the
// reply, each within deadlines of its own. The main thread waits for them
// all, or for a stop. Start() and Wait() from the main thread only.

#include "Message.h"
#include "Result.h"
#include "SupportDefs.h"

#include <sys/types.h>

#include <memory>
#include <vector>

class StateRequests {
public:
    // How long an instance has to take the request, and then to answer it.
    static constexpr bigtime_t kSendTimeout = 1000000;
    static constexpr bigtime_t kReplyTimeout = 2000000;

    struct Answer {
        pid_t pid = 0;
        // The reply, or why there is none: what the request came to,
        // B_TIMED_OUT until it comes to something, B_NO_INIT when no thread
        // could ask.
        Result<BMessage> reply = Error { B_TIMED_OUT, "no answer came in time" };
    };

    // Starts asking each of `pids`; the reason if it can't.
    static Result<std::unique_ptr<StateRequests>> Start(const std::vector<pid_t>& pids);

    // Waits until every instance has answered or its time is up, and gives
    // the answers in the order of the pids. B_INTERRUPTED once `stopFd` is
    // readable: the threads still waiting then end with the process.
    Result<std::vector<Answer>> Wait(int stopFd);

private:
    struct Shared;

    explicit StateRequests(std::shared_ptr<Shared> shared);

    std::shared_ptr<Shared> fShared;
};
