#pragma once

// ReplyChannel: the connection a message came in on, kept open while its
// sender waits for a reply. On the instance's side, the messages delivered
// from that connection share one channel: Send() answers through it, once,
// without waiting. The connection closes once the reply has gone, when
// Drop() is called, or when the last message holding the channel goes, and
// a sender that finds it closed without a reply takes that as B_NO_REPLY.
// On the sender's side, Receive() reads the reply.
//
// A reply travels as packets of at most kMaxPacketSize bytes: the first
// starts with the flattened reply's size (u32, little-endian), and the
// flattened reply follows, across as many packets as it takes. Packets of
// that size need no large contiguous buffer in the kernel, as one packet of
// a whole large reply would.
//
// Send(), Drop(), IsWaiting() and IsOpen() are safe from any thread.

#include "Message.h"
#include "Result.h"
#include "SupportDefs.h"

#include <chrono>
#include <memory>
#include <mutex>

class ReplyChannel {
public:
    // Set in a packet's leading target byte when its sender waits for a
    // reply on the same connection.
    static constexpr uint8 kAwaitsReply = 0x80;
    static constexpr size_t kMaxPacketSize = 64 * 1024;

    // Takes `fd`, a connected, non-blocking packet socket, and asks for a
    // send buffer that holds the largest reply whole.
    explicit ReplyChannel(int fd);
    // Closes the connection, if a reply hasn't already.
    ~ReplyChannel();
    ReplyChannel(const ReplyChannel&) = delete;
    ReplyChannel& operator=(const ReplyChannel&) = delete;

    // Makes `channel` the way back for `message`.
    static void Attach(BMessage* message, std::shared_ptr<ReplyChannel> channel);

    // What BMessage::SendReply() says.
    Result<> Send(const BMessage& reply);
    // Closes the connection without a reply.
    void Drop();
    // Whether no reply has gone and the connection is open.
    bool IsWaiting() const;
    // Whether the connection is open.
    bool IsOpen() const;

    // On the sender's side: reads the reply from `fd`, a non-blocking
    // socket, waiting no longer than `deadline`. The reply, or a message
    // B_NO_REPLY when the connection closed before any of it; B_TIMED_OUT
    // when it isn't all there by the deadline; B_BAD_VALUE when it is
    // malformed, too large or cut short.
    static Result<BMessage> Receive(int fd, std::chrono::steady_clock::time_point deadline);

private:
    // Closes the connection; the caller holds fLock.
    void CloseLocked();

    mutable std::mutex fLock;
    int fFd;
    bool fReplied = false;
};
