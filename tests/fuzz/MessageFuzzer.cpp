// Feeds arbitrary bytes to BMessage::Unflatten(), with the limit of a
// reply, the largest message there is. A rejected input must
// leave the message empty. An accepted one must flatten back to exactly the
// same bytes, since the format has one encoding per message, and must still
// round-trip after one more field is added within the limits.

#include "Message.h"

#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    BMessage message(FourCC("full"));
    message.AddInt32("stale", 1);
    if (!message.Unflatten(data, size, BMessage::kMaxReplySize)) {
        if (!(message == BMessage()))
            abort();
        return 0;
    }

    std::vector<uint8> flat = message.Flatten();
    if (flat.size() != size || (size > 0 && memcmp(flat.data(), data, size) != 0))
        abort();

    if (message.AddInt32("fuzz", static_cast<int32>(size)) == B_OK) {
        flat = message.Flatten();
        BMessage copy;
        if (flat.size() > BMessage::kMaxReplySize
            || !copy.Unflatten(flat.data(), flat.size(), BMessage::kMaxReplySize)
            || !(copy == message))
            abort();
    }
    return 0;
}
