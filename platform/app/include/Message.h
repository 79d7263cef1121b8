#pragma once

// BMessage: a what code and named, typed fields. A name holds one or more
// values of one type. Messages are plain values: copy them freely; they are
// not shared between threads.
//
// Messages that cross processes travel flattened, in a small binary format
// of this program's own. Unflatten() treats its input as untrusted: any
// malformed input gives an error and leaves the message empty.
//
// A message that came from another process whose sender waits for an answer
// carries the way back: IsSourceWaiting() says so, and SendReply() answers,
// once, from any thread. Copies share that one answer; when the last copy
// goes without one, the sender is told there will be none (B_NO_REPLY).

#include "Result.h"
#include "SupportDefs.h"

#include <sys/types.h>

#include <cstddef>
#include <memory>
#include <string>
#include <variant>
#include <vector>

// Field type codes.
inline constexpr uint32 B_BOOL_TYPE = FourCC("BOOL");
inline constexpr uint32 B_INT8_TYPE = FourCC("BYTE");
inline constexpr uint32 B_INT32_TYPE = FourCC("LONG");
inline constexpr uint32 B_STRING_TYPE = FourCC("CSTR");
inline constexpr uint32 B_RAW_TYPE = FourCC("RAWT");

// Messages the platform itself understands.
inline constexpr uint32 B_QUIT_REQUESTED = FourCC("_QRQ");
// The reply a sender gets when the receiver let the message go unanswered.
inline constexpr uint32 B_NO_REPLY = FourCC("_NRP");

class ReplyChannel;

class BMessage {
public:
    // The most a message sent to an instance may take flattened, and so
    // what Unflatten() accepts unless told otherwise.
    static constexpr size_t kMaxFlattenedSize = 4096;
    // The most any message may take flattened: a reply may be this large.
    static constexpr size_t kMaxReplySize = 256 * 1024;
    static constexpr size_t kMaxFields = 64;
    static constexpr size_t kMaxNameLength = 63;

    uint32 what = 0;

    BMessage() = default;
    explicit BMessage(uint32 command) : what(command) {}

    // Adds a value under `name`. Fails with B_BAD_TYPE when the name already
    // holds values of another type, and with B_BAD_VALUE for an empty or
    // overlong name, too many fields or a message whose flattened form would
    // exceed kMaxReplySize.
    status_t AddBool(const char* name, bool value);
    status_t AddInt8(const char* name, int8 value);
    status_t AddInt32(const char* name, int32 value);
    status_t AddString(const char* name, const char* value);
    // Adds a copy of `numBytes` bytes at `data`, any bytes at all. `type`
    // must be B_RAW_TYPE (B_BAD_TYPE otherwise).
    status_t AddData(const char* name, uint32 type, const void* data, ssize_t numBytes);

    // Finds the index-th value under `name`. B_NAME_NOT_FOUND when no field
    // has the name; B_BAD_TYPE when it has values of another type;
    // B_BAD_INDEX when it has fewer values. FindString() gives a pointer to
    // the message's own NUL-terminated copy, valid until the message changes.
    status_t FindBool(const char* name, bool* value) const { return FindBool(name, 0, value); }
    status_t FindBool(const char* name, int32 index, bool* value) const;
    status_t FindInt8(const char* name, int8* value) const { return FindInt8(name, 0, value); }
    status_t FindInt8(const char* name, int32 index, int8* value) const;
    status_t FindInt32(const char* name, int32* value) const { return FindInt32(name, 0, value); }
    status_t FindInt32(const char* name, int32 index, int32* value) const;
    status_t FindString(const char* name, const char** value) const { return FindString(name, 0, value); }
    status_t FindString(const char* name, int32 index, const char** value) const;
    // The first value under `name`, a field of `type` B_RAW_TYPE: a pointer
    // to the message's own bytes, valid until the message changes, and their
    // number.
    status_t FindData(const char* name, uint32 type, const void** data, ssize_t* numBytes) const;

    bool HasField(const char* name) const;
    // The number of distinct names.
    int32 CountNames() const;
    bool IsEmpty() const;
    // Removes the what code and every field; a sender waiting for a reply
    // still waits.
    void MakeEmpty();

    // The flattened form, at most kMaxReplySize bytes.
    std::vector<uint8> Flatten() const;
    // Replaces the what code and fields with those in `data`, which may take
    // at most `maxSize` bytes (no more than kMaxReplySize). On any error,
    // B_BAD_DATA for input that is malformed or too large, the message is
    // left empty (what 0, no fields).
    Result<> Unflatten(const void* data, size_t size, size_t maxSize = kMaxFlattenedSize);

    // Whether this message came from a sender that waits for a reply, and
    // none has gone yet.
    bool IsSourceWaiting() const;
    // Sends `reply` to the waiting sender, without waiting for it to read
    // it; the first call on any copy of the message is the only one.
    // Succeeds once the reply is on its way; fails with B_BAD_VALUE when no
    // sender waits (none ever did, or a reply went already) or the reply is
    // too large, B_WOULD_BLOCK when the connection can't take the reply at
    // once, and B_ERROR when the sender has gone or the connection was
    // closed to make room for others: then the sender gets no reply.
    Result<> SendReply(const BMessage& reply);

    // Equal what codes and fields; the way back to a sender doesn't count.
    bool operator==(const BMessage& other) const;

private:
    friend class ReplyChannel;

    using Values = std::variant<std::vector<bool>, std::vector<int8>, std::vector<int32>,
        std::vector<std::string>, std::vector<std::vector<uint8>>>;
    struct Field {
        std::string name;
        Values values;
        bool operator==(const Field&) const = default;
    };

    const Field* FindField(const char* name) const;
    size_t FlattenedSize() const;
    template <typename T>
    status_t AddValue(const char* name, T value);
    // The values under `name` when it holds at least index + 1 values of
    // type T; the Find*() error otherwise.
    template <typename T>
    status_t FindValues(const char* name, int32 index, const std::vector<T>** values) const;
    // Copies the index-th value of type T under `name`.
    template <typename T>
    status_t FindValue(const char* name, int32 index, T* value) const;

    std::vector<Field> fFields;
    // The flattened size of the fields, kept as they are added.
    size_t fFieldsSize = 0;
    // Where the reply goes, when a sender waits for one.
    std::shared_ptr<ReplyChannel> fReplyChannel;
};
