#include "StateRequests.h"

#include "MessageCodes.h"
#include "Messenger.h"
#include "ProgramInfo.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <mutex>
#include <system_error>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

// Past the threads' own deadlines: a thread that is still not done then is
// taken as an instance that didn't answer.
constexpr auto kLastChance = std::chrono::microseconds(StateRequests::kSendTimeout
                                 + StateRequests::kReplyTimeout)
    + std::chrono::seconds(1);

} // namespace

// What the threads and the main thread share. A thread that outlives the
// wait (after a stop) keeps it alive.
struct StateRequests::Shared {
    std::mutex lock;
    std::vector<Answer> answers;
    std::vector<bool> answered;
    int doneFd = -1; // an event counter each thread bumps when done

    ~Shared()
    {
        if (doneFd >= 0)
            close(doneFd);
    }

    void Finish(size_t index, Result<BMessage> reply)
    {
        std::lock_guard guard(lock);
        answers[index].reply = std::move(reply);
        answered[index] = true;
        uint64 one = 1;
        [[maybe_unused]] ssize_t written = write(doneFd, &one, sizeof one);
    }
};

StateRequests::StateRequests(std::shared_ptr<Shared> shared)
    : fShared(std::move(shared))
{
}

Result<std::unique_ptr<StateRequests>> StateRequests::Start(const std::vector<pid_t>& pids)
{
    auto shared = std::make_shared<Shared>();
    shared->doneFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (shared->doneFd < 0)
        return Error::FromErrno(errno);
    shared->answers.resize(pids.size());
    shared->answered.resize(pids.size());
    for (size_t i = 0; i < pids.size(); i++)
        shared->answers[i].pid = pids[i];
    for (size_t i = 0; i < pids.size(); i++) {
        try {
            std::thread([shared, i, pid = pids[i]] {
                BMessenger instance(kProgramSignature, pid, MessageTarget::Window);
                shared->Finish(i, instance.SendMessage(BMessage(VOICE_STATE_REQUEST), kSendTimeout, kReplyTimeout));
            }).detach();
        } catch (const std::system_error& error) {
            shared->Finish(i, Error { B_NO_INIT, error.code().message() });
        }
    }
    return std::unique_ptr<StateRequests>(new StateRequests(std::move(shared)));
}

Result<std::vector<StateRequests::Answer>> StateRequests::Wait(int stopFd)
{
    auto deadline = Clock::now() + kLastChance;
    pollfd fds[2] = { { fShared->doneFd, POLLIN, 0 }, { stopFd, POLLIN, 0 } };
    for (;;) {
        {
            std::lock_guard guard(fShared->lock);
            const std::vector<bool>& answered = fShared->answered;
            bool all = std::find(answered.begin(), answered.end(), false) == answered.end();
            if (all || Clock::now() >= deadline) {
                // An answer that never came stays B_TIMED_OUT.
                return fShared->answers;
            }
        }
        auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        if (poll(fds, 2, static_cast<int>(std::max<int64>(left.count(), 0))) < 0 && errno != EINTR)
            return Error::FromErrno(errno);
        if ((fds[1].revents & POLLIN) != 0)
            return Error { B_INTERRUPTED, "interrupted" };
        uint64 count;
        [[maybe_unused]] ssize_t got = read(fShared->doneFd, &count, sizeof count);
    }
}
