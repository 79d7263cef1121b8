#include "ReplyChannel.h"

#include "Message.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kSizeBytes = 4;

} // namespace

ReplyChannel::ReplyChannel(int fd) : fFd(fd)
{
    // The kernel doubles what is asked for and caps it at the system's
    // limit (net.core.wmem_max), whose usual value still gives room for a
    // whole reply of kMaxReplySize in packets of kMaxPacketSize.
    int size = static_cast<int>(BMessage::kMaxReplySize);
    setsockopt(fFd, SOL_SOCKET, SO_SNDBUF, &size, sizeof(size));
}

ReplyChannel::~ReplyChannel()
{
    if (fFd >= 0)
        close(fFd);
}

void ReplyChannel::Attach(BMessage* message, std::shared_ptr<ReplyChannel> channel)
{
    message->fReplyChannel = std::move(channel);
}

Result<> ReplyChannel::Send(const BMessage& reply)
{
    std::vector<uint8> stream = reply.Flatten();
    if (stream.size() > BMessage::kMaxReplySize)
        return Error { B_BAD_VALUE, "the reply is too large" };
    uint32 size = static_cast<uint32>(stream.size());
    uint8 prefix[kSizeBytes] = { static_cast<uint8>(size), static_cast<uint8>(size >> 8),
        static_cast<uint8>(size >> 16), static_cast<uint8>(size >> 24) };
    stream.insert(stream.begin(), prefix, prefix + kSizeBytes);

    std::lock_guard<std::mutex> guard(fLock);
    if (fReplied)
        return Error { B_BAD_VALUE, "a reply went already" };
    fReplied = true;
    if (fFd < 0)
        return Error { B_ERROR, "the connection is closed" };
    Result<> sent;
    for (size_t offset = 0; offset < stream.size() && sent;) {
        size_t length = std::min(kMaxPacketSize, stream.size() - offset);
        ssize_t count = send(fFd, stream.data() + offset, length, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (count < 0 && errno == EINTR)
            continue;
        if (count == static_cast<ssize_t>(length))
            offset += length;
        else if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            sent = Error { B_WOULD_BLOCK, "the connection can't take the reply at once" };
        else
            sent = Error { B_ERROR, "the sender has gone" };
    }
    // Whatever went stays queued for the sender; closing ends the reply.
    CloseLocked();
    return sent;
}

void ReplyChannel::Drop()
{
    std::lock_guard<std::mutex> guard(fLock);
    CloseLocked();
}

bool ReplyChannel::IsWaiting() const
{
    std::lock_guard<std::mutex> guard(fLock);
    return fFd >= 0 && !fReplied;
}

bool ReplyChannel::IsOpen() const
{
    std::lock_guard<std::mutex> guard(fLock);
    return fFd >= 0;
}

void ReplyChannel::CloseLocked()
{
    if (fFd >= 0)
        close(fFd);
    fFd = -1;
}

Result<BMessage> ReplyChannel::Receive(int fd, Clock::time_point deadline)
{
    const Error malformed { B_BAD_VALUE, "the reply is malformed" };
    std::vector<uint8> stream;
    // The flattened reply's size plus its prefix, once the prefix is in.
    size_t expected = 0;
    std::vector<uint8> packet(kMaxPacketSize);
    for (;;) {
        // MSG_TRUNC makes recv return the packet's real size, so an
        // oversized one shows as such instead of arriving cut short.
        ssize_t size = recv(fd, packet.data(), packet.size(), MSG_DONTWAIT | MSG_TRUNC);
        if (size < 0 && errno == EINTR)
            continue;
        if (size < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0)
                return Error { B_TIMED_OUT, "no whole reply came in time" };
            pollfd item = { fd, POLLIN, 0 };
            poll(&item, 1, static_cast<int>(std::min<int64>(left.count(), 60000)));
            continue;
        }
        if (size <= 0) {
            // Closed: before anything came, the receiver let the message
            // go unanswered; part way, the reply is cut short.
            if (stream.empty())
                return BMessage(B_NO_REPLY);
            return malformed;
        }
        if (static_cast<size_t>(size) > packet.size()
            || static_cast<size_t>(size) > kSizeBytes + BMessage::kMaxReplySize - stream.size())
            return malformed;
        stream.insert(stream.end(), packet.begin(), packet.begin() + size);
        if (expected == 0) {
            if (stream.size() < kSizeBytes)
                return malformed;
            size_t flattened = static_cast<size_t>(stream[0]) | (static_cast<size_t>(stream[1]) << 8)
                | (static_cast<size_t>(stream[2]) << 16) | (static_cast<size_t>(stream[3]) << 24);
            if (flattened > BMessage::kMaxReplySize)
                return malformed;
            expected = kSizeBytes + flattened;
        }
        if (stream.size() > expected)
            return malformed;
        if (stream.size() == expected) {
            BMessage reply;
            if (!reply.Unflatten(stream.data() + kSizeBytes, stream.size() - kSizeBytes,
                    BMessage::kMaxReplySize))
                return malformed;
            return reply;
        }
    }
}
