#include "Messenger.h"

#include "Message.h"
#include "RegistryDirectory.h"
#include "RegistryEntry.h"
#include "ReplyChannel.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// Longer timeouts are cut to this, so that a deadline never overflows.
constexpr bigtime_t kLongestTimeout = 24LL * 60 * 60 * 1000000;

Clock::time_point DeadlineAfter(bigtime_t timeoutMicros)
{
    return Clock::now()
        + std::chrono::microseconds(std::clamp<bigtime_t>(timeoutMicros, 0, kLongestTimeout));
}

// Connects to the instance `pid` of `signature` and sends `packet`, all
// before `deadline`. The connection is left in `*fd`, to be closed by the
// caller, whatever the result.
Result<> SendPacket(const std::string& signature, pid_t pid, const std::vector<uint8>& packet,
    Clock::time_point deadline, int* fd)
{
    auto directory = RegistryDirectory::Open(signature.c_str());
    if (!directory)
        return directory.error();
    *fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (*fd < 0)
        return Error::FromErrno(errno);
    const Error late { B_TIMED_OUT, "it didn't take the message in time" };
    sockaddr_un address;
    socklen_t length;
    (*directory)->SocketAddress(RegistryEntry::SocketName(pid), &address, &length);

    // Waits for `events` on the socket until the deadline; false once it has passed.
    auto waitFor = [&](short events) {
        auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0)
            return false;
        pollfd item = { *fd, events, 0 };
        return poll(&item, 1, static_cast<int>(std::min<int64>(left.count(), 60000))) >= 0
            || errno == EINTR;
    };

    // A full backlog makes a Unix socket's connect fail with EAGAIN rather
    // than wait: try again a little later.
    while (connect(*fd, reinterpret_cast<sockaddr*>(&address), length) != 0) {
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN) {
            auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0)
                return late;
            std::this_thread::sleep_for(std::min(left, std::chrono::milliseconds(5)));
            continue;
        }
        return Error::FromErrno(errno);
    }
    for (;;) {
        ssize_t sent = send(*fd, packet.data(), packet.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent == static_cast<ssize_t>(packet.size()))
            return {};
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (!waitFor(POLLOUT))
                return late;
            continue;
        }
        return Error { B_ERROR, sent < 0 ? strerror(errno) : "the message went out cut short" };
    }
}

// The packet of `message` for `target`, with `flags` in its target byte;
// B_BAD_VALUE when it is too large to send.
Result<std::vector<uint8>> Packet(const BMessage& message, MessageTarget target, uint8 flags)
{
    std::vector<uint8> packet = message.Flatten();
    if (packet.empty() || packet.size() > BMessage::kMaxFlattenedSize)
        return Error { B_BAD_VALUE, "the message is too large to send" };
    packet.insert(packet.begin(), static_cast<uint8>(target) | flags);
    return packet;
}

} // namespace

BMessenger::BMessenger(const char* signature, pid_t pid, MessageTarget target)
    : fSignature(signature != nullptr ? signature : ""),
      fPid(pid),
      fTarget(target)
{
}

Result<> BMessenger::SendMessage(const BMessage& message, bigtime_t timeoutMicros) const
{
    if (fSignature.empty() || fPid <= 0)
        return Error { B_BAD_VALUE, "no signature or process id" };
    Result<std::vector<uint8>> packet = Packet(message, fTarget, 0);
    if (!packet)
        return packet.error();
    int fd = -1;
    Result<> sent = SendPacket(fSignature, fPid, *packet, DeadlineAfter(timeoutMicros), &fd);
    if (fd >= 0)
        close(fd);
    return sent;
}

Result<BMessage> BMessenger::SendMessage(const BMessage& message, bigtime_t sendTimeout,
    bigtime_t replyTimeout) const
{
    if (fSignature.empty() || fPid <= 0)
        return Error { B_BAD_VALUE, "no signature or process id" };
    Result<std::vector<uint8>> packet = Packet(message, fTarget, ReplyChannel::kAwaitsReply);
    if (!packet)
        return packet.error();
    int fd = -1;
    Result<> sent = SendPacket(fSignature, fPid, *packet, DeadlineAfter(sendTimeout), &fd);
    Result<BMessage> reply = sent ? ReplyChannel::Receive(fd, DeadlineAfter(replyTimeout))
                                  : Result<BMessage>(sent.error());
    if (fd >= 0)
        close(fd);
    return reply;
}
