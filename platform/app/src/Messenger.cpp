#include "Messenger.h"

#include "Message.h"
#include "RegistryDirectory.h"
#include "RegistryEntry.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

} // namespace

BMessenger::BMessenger(const char* signature, pid_t pid, MessageTarget target)
    : fSignature(signature != nullptr ? signature : ""),
      fPid(pid),
      fTarget(target)
{
}

status_t BMessenger::SendMessage(const BMessage& message, bigtime_t timeoutMicros) const
{
    if (fSignature.empty() || fPid <= 0)
        return B_BAD_VALUE;
    std::vector<uint8> packet = message.Flatten();
    if (packet.empty() || packet.size() > BMessage::kMaxFlattenedSize)
        return B_BAD_VALUE;
    packet.insert(packet.begin(), static_cast<uint8>(fTarget));

    auto directory = RegistryDirectory::Open(fSignature.c_str());
    if (!directory)
        return directory.code();
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return B_ERROR;
    sockaddr_un address;
    socklen_t length;
    (*directory)->SocketAddress(RegistryEntry::SocketName(fPid), &address, &length);

    auto deadline = Clock::now() + std::chrono::microseconds(timeoutMicros);
    // Waits for `events` on the socket until the deadline; false once it has passed.
    auto waitFor = [&](short events) {
        auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0)
            return false;
        pollfd item = { fd, events, 0 };
        return poll(&item, 1, static_cast<int>(left.count())) >= 0 || errno == EINTR;
    };

    status_t status = B_OK;
    // A full backlog makes a Unix socket's connect fail with EAGAIN rather
    // than wait: try again a little later.
    while (connect(fd, reinterpret_cast<sockaddr*>(&address), length) != 0) {
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN) {
            auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0) {
                status = B_TIMED_OUT;
                break;
            }
            std::this_thread::sleep_for(std::min(left, std::chrono::milliseconds(5)));
            continue;
        }
        status = errno == ENOENT || errno == ECONNREFUSED ? B_ENTRY_NOT_FOUND
            : errno == EACCES || errno == EPERM          ? B_PERMISSION_DENIED
                                                         : B_ERROR;
        break;
    }
    while (status == B_OK) {
        ssize_t sent = send(fd, packet.data(), packet.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent == static_cast<ssize_t>(packet.size()))
            break;
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (!waitFor(POLLOUT))
                status = B_TIMED_OUT;
            continue;
        }
        status = B_ERROR;
    }
    close(fd);
    return status;
}
