#include "RosterServer.h"

#include "Message.h"
#include "ProcessIdentity.h"
#include "RegistryDirectory.h"
#include "RegistryEntry.h"
#include "RegistryStartLock.h"
#include "ReplyChannel.h"
#include "Report.h"
#include "ReportLimiter.h"

#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// A packet is one byte of MessageTarget, with ReplyChannel::kAwaitsReply
// set when the sender waits for a reply, and a flattened message.
constexpr size_t kMaxPacketSize = 1 + BMessage::kMaxFlattenedSize;
// Peers that connect and then say nothing are closed after this long, and
// no more than this many are kept open at once, those waiting for a reply
// included.
constexpr auto kIdleTimeout = std::chrono::seconds(5);
constexpr size_t kMaxConnections = 16;
constexpr int kListenBacklog = 16;
// Packets read from one connection before the others get a turn.
constexpr int kPacketsPerTurn = 32;
// With no descriptor left for a new connection, it stays queued and the
// socket stays readable: the server stops watching it for this long.
constexpr auto kAcceptPause = std::chrono::milliseconds(250);

std::atomic<bool> gRegistered { false };

} // namespace

struct RosterServer::Impl {
    std::unique_ptr<RegistryDirectory> directory;
    std::unique_ptr<RegistryEntry> entry;
    Deliver deliver;
    std::string socketName;
    int listenFd = -1;
    int wakeFd = -1;
    int epollFd = -1;
    std::thread thread;
    std::map<int, Clock::time_point> connections; // descriptor -> last activity
    // The connections handed to messages whose senders wait for a reply,
    // and since when; each is closed by the message's side.
    struct PendingReply {
        std::weak_ptr<ReplyChannel> channel;
        Clock::time_point since;
    };
    std::vector<PendingReply> pendingReplies;
    // Until when accepting is paused for want of descriptors.
    Clock::time_point acceptPausedUntil;
    bool acceptPaused = false;
    // Every line a peer can bring about goes through it.
    ReportLimiter reports;

    ~Impl();
    void Serve();
    void AcceptAll();
    void OutOfDescriptors(int error);
    void WatchListener(bool watch);
    void ReadPackets(int fd);
    void CloseConnection(int fd);
    void CloseOldest();
    size_t CountPendingReplies();
    int MillisUntilNextTimer() const;
    void CloseIdle();
};

RosterServer::Impl::~Impl()
{
    for (auto& [fd, lastActivity] : connections)
        close(fd);
    if (epollFd >= 0)
        close(epollFd);
    if (wakeFd >= 0)
        close(wakeFd);
    if (listenFd >= 0) {
        unlinkat(directory->Fd(), socketName.c_str(), 0);
        close(listenFd);
    }
    // The entry (the lock) goes last: until then the socket's name is ours.
    entry.reset();
}

void RosterServer::Impl::Serve()
{
    epoll_event events[16];
    for (;;) {
        int count = epoll_wait(epollFd, events, 16, MillisUntilNextTimer());
        if (count < 0) {
            if (errno == EINTR)
                continue;
            ReportFailure("wait for messages", strerror(errno));
            return;
        }
        bool accept = false;
        for (int i = 0; i < count; ++i) {
            int fd = events[i].data.fd;
            if (fd == wakeFd)
                return;
            if (fd == listenFd)
                accept = true;
            else if (connections.count(fd) != 0)
                ReadPackets(fd);
        }
        if (acceptPaused && Clock::now() >= acceptPausedUntil) {
            acceptPaused = false;
            WatchListener(true);
            accept = true;
        }
        // Accepting last: a descriptor closed above may be reused by it.
        if (accept)
            AcceptAll();
        CloseIdle();
        reports.Flush();
    }
}

void RosterServer::Impl::AcceptAll()
{
    for (;;) {
        int fd = accept4(listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
                OutOfDescriptors(errno);
            else if (errno != EAGAIN && errno != EWOULDBLOCK)
                reports.Failure("accept a message", strerror(errno), strerror(errno));
            return;
        }
        ucred peer = {};
        socklen_t length = sizeof(peer);
        if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0) {
            reports.Failure("accept a message", "no sender credentials",
                std::string("no sender credentials: ") + strerror(errno));
            close(fd);
            continue;
        }
        if (peer.uid != geteuid()) {
            reports.Failure("accept a message", "sender is another user",
                "sender is another user (uid " + std::to_string(peer.uid) + ")");
            close(fd);
            continue;
        }
        if (connections.size() + CountPendingReplies() >= kMaxConnections) {
            const char* why = "too many open, closed the one idle longest";
            reports.Failure("keep a connection", why, why);
            CloseOldest();
        }
        epoll_event event = {};
        event.events = EPOLLIN;
        event.data.fd = fd;
        if (epoll_ctl(epollFd, EPOLL_CTL_ADD, fd, &event) != 0) {
            reports.Failure("accept a message", strerror(errno), strerror(errno));
            close(fd);
            continue;
        }
        connections[fd] = Clock::now();
    }
}

// The process has no descriptor for the next connection. Left alone, the
// connection would stay queued and wake the server at once, again and
// again: the connection idle longest makes room, and the server stops
// listening for a while.
void RosterServer::Impl::OutOfDescriptors(int error)
{
    Clock::time_point now = Clock::now();
    std::string why
        = std::string(strerror(error)) + "; closing the connection idle longest and waiting";
    reports.Failure("accept a message", why, why, now);
    CloseOldest();
    acceptPaused = true;
    acceptPausedUntil = now + kAcceptPause;
    WatchListener(false);
}

void RosterServer::Impl::WatchListener(bool watch)
{
    epoll_event event = {};
    event.events = watch ? static_cast<uint32_t>(EPOLLIN) : 0u;
    event.data.fd = listenFd;
    epoll_ctl(epollFd, EPOLL_CTL_MOD, listenFd, &event);
}

void RosterServer::Impl::ReadPackets(int fd)
{
    uint8 packet[kMaxPacketSize];
    for (int i = 0; i < kPacketsPerTurn; ++i) {
        // MSG_TRUNC makes recv return the packet's real size, so an
        // oversized one shows as such instead of arriving cut short.
        ssize_t size = recv(fd, packet, sizeof(packet), MSG_TRUNC | MSG_DONTWAIT);
        if (size < 0) {
            if (errno == EINTR)
                continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK)
                CloseConnection(fd);
            return;
        }
        if (size == 0) {
            CloseConnection(fd); // the sender is done
            return;
        }
        connections[fd] = Clock::now();
        std::string label;
        std::string detail;
        BMessage message;
        uint8 target = packet[0] & ~ReplyChannel::kAwaitsReply;
        if (static_cast<size_t>(size) > sizeof(packet)) {
            label = "it is too large";
            detail = " (" + std::to_string(size) + " bytes)";
        } else if (target > static_cast<uint8>(MessageTarget::Window)) {
            label = "it is for an unknown target";
            detail = " (" + std::to_string(packet[0]) + ")";
        } else if (!message.Unflatten(packet + 1, static_cast<size_t>(size) - 1)) {
            label = "it is malformed";
        }
        if (!label.empty()) {
            // A sender of bad input gets no further hearing.
            reports.Failure("accept a message", label, label + detail);
            CloseConnection(fd);
            return;
        }
        if ((packet[0] & ReplyChannel::kAwaitsReply) != 0) {
            // The connection now belongs to the message and its copies:
            // nothing more is read from it, and it closes once they have
            // replied or gone.
            epoll_ctl(epollFd, EPOLL_CTL_DEL, fd, nullptr);
            connections.erase(fd);
            auto channel = std::make_shared<ReplyChannel>(fd);
            pendingReplies.push_back({ channel, Clock::now() });
            ReplyChannel::Attach(&message, std::move(channel));
            deliver(static_cast<MessageTarget>(target), message);
            return;
        }
        deliver(static_cast<MessageTarget>(target), message);
    }
}

void RosterServer::Impl::CloseConnection(int fd)
{
    epoll_ctl(epollFd, EPOLL_CTL_DEL, fd, nullptr);
    close(fd);
    connections.erase(fd);
}

// The connection idle longest, or the reply waited for longest if that
// came first.
void RosterServer::Impl::CloseOldest()
{
    auto oldest = std::min_element(connections.begin(), connections.end(),
        [](const auto& a, const auto& b) { return a.second < b.second; });
    if (CountPendingReplies() > 0
        && (oldest == connections.end() || pendingReplies.front().since <= oldest->second)) {
        if (std::shared_ptr<ReplyChannel> channel = pendingReplies.front().channel.lock())
            channel->Drop();
        pendingReplies.erase(pendingReplies.begin());
    } else if (oldest != connections.end()) {
        CloseConnection(oldest->first);
    }
}

// Forgets the replies that have gone or been given up, and counts the rest.
size_t RosterServer::Impl::CountPendingReplies()
{
    std::erase_if(pendingReplies, [](const PendingReply& pending) {
        std::shared_ptr<ReplyChannel> channel = pending.channel.lock();
        return channel == nullptr || !channel->IsOpen();
    });
    return pendingReplies.size();
}

// Until the next idle connection is due to be closed, accepting is due to
// resume or a count of lines held back is due; -1 when nothing is due.
int RosterServer::Impl::MillisUntilNextTimer() const
{
    Clock::time_point next = reports.NextFlush();
    for (const auto& [fd, lastActivity] : connections)
        next = std::min(next, lastActivity + kIdleTimeout);
    if (acceptPaused)
        next = std::min(next, acceptPausedUntil);
    if (next == Clock::time_point::max())
        return -1;
    auto left = std::chrono::ceil<std::chrono::milliseconds>(next - Clock::now());
    return static_cast<int>(std::max<int64>(left.count(), 0));
}

void RosterServer::Impl::CloseIdle()
{
    Clock::time_point limit = Clock::now() - kIdleTimeout;
    for (auto it = connections.begin(); it != connections.end();) {
        int fd = it->first;
        bool idle = it->second <= limit;
        ++it;
        if (idle)
            CloseConnection(fd);
    }
}

RosterServer::RosterServer(std::unique_ptr<Impl> impl) : fImpl(std::move(impl)) {}

RosterServer::~RosterServer()
{
    uint64 one = 1;
    ssize_t ignored = write(fImpl->wakeFd, &one, sizeof(one));
    (void)ignored;
    fImpl->thread.join();
    fImpl.reset();
    RegistryStartLock::Release();
    ProcessIdentity::SetSignature({});
    gRegistered = false;
}

Result<std::unique_ptr<RosterServer>> RosterServer::Start(const char* signature,
    Deliver deliver)
{
    if (signature == nullptr || signature[0] == '\0' || !deliver)
        return Error { B_BAD_VALUE, "no signature" };
    // A second entry of the same process would wait forever for its own lock.
    if (gRegistered.exchange(true))
        return Error { B_NOT_ALLOWED, "this process is registered already" };
    // Registered or not, this process is an instance of `signature`: it
    // launches its own program for it.
    ProcessIdentity::SetSignature(signature);

    auto impl = std::make_unique<Impl>();
    impl->deliver = std::move(deliver);
    // The start lock taken here is held until this process has counted the
    // instances registered before it (or has no more use for it).
    std::string notice;
    auto directory = RegistryDirectory::OpenToRegister(signature, &notice);
    if (!directory) {
        gRegistered = false;
        return directory.error();
    }
    impl->directory = std::move(*directory);
    if (!notice.empty())
        ReportLine(notice);
    const std::string place = impl->directory->Path();
    auto failWithErrno = [&](const char* what) {
        int code = errno;
        impl.reset();
        RegistryStartLock::Release();
        gRegistered = false;
        return Error::FromErrno(code, "registry " + place + ": can't " + what + " the socket: ");
    };

    auto entry = RegistryEntry::Create(*impl->directory);
    if (!entry) {
        RegistryStartLock::Release();
        gRegistered = false;
        return Error { entry.code(), "registry " + place + ": " + entry.reason() };
    }
    impl->entry = std::move(*entry);
    // Where the program file is already gone, nothing can be started from it.
    // Only launchers other than the instances read it: without it, they
    // fail to launch and say so.
    const std::string& executable = ProcessIdentity::ExecutablePath();
    if (!executable.empty() && executable.find(" (deleted)") == std::string::npos)
        static_cast<void>(impl->directory->WriteExecutable(executable));

    impl->socketName = RegistryEntry::SocketName(getpid());
    impl->listenFd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (impl->listenFd < 0)
        return failWithErrno("create");
    // A socket left by a dead process with our pid: ours now that we hold
    // the lock.
    unlinkat(impl->directory->Fd(), impl->socketName.c_str(), 0);
    sockaddr_un address;
    socklen_t length;
    impl->directory->SocketAddress(impl->socketName, &address, &length);
    if (bind(impl->listenFd, reinterpret_cast<sockaddr*>(&address), length) != 0)
        return failWithErrno("bind");
    if (listen(impl->listenFd, kListenBacklog) != 0)
        return failWithErrno("listen on");

    impl->wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (impl->wakeFd < 0)
        return failWithErrno("wake");
    impl->epollFd = epoll_create1(EPOLL_CLOEXEC);
    if (impl->epollFd < 0)
        return failWithErrno("watch");
    for (int fd : { impl->listenFd, impl->wakeFd }) {
        epoll_event event = {};
        event.events = EPOLLIN;
        event.data.fd = fd;
        if (epoll_ctl(impl->epollFd, EPOLL_CTL_ADD, fd, &event) != 0)
            return failWithErrno("watch");
    }

    Impl* server = impl.get();
    impl->thread = std::thread([server] { server->Serve(); });
    return std::unique_ptr<RosterServer>(new RosterServer(std::move(impl)));
}

Result<> RosterServer::PublishInfo(const BMessage& info)
{
    std::vector<uint8> bytes = info.Flatten();
    if (bytes.empty() || bytes.size() > BMessage::kMaxFlattenedSize)
        return Error { B_BAD_VALUE, "the description is too large" };
    return fImpl->entry->WriteInfo(bytes.data(), bytes.size());
}
