#include "Message.h"

#include "ReplyChannel.h"

#include <algorithm>
#include <cstring>
#include <type_traits>

// The flattened form. Every integer is little-endian, and the encoding is
// canonical: a message has exactly one flattened form, so Unflatten()
// followed by Flatten() gives back the very bytes that went in.
//
//   header   "GWM" and a version byte (4 bytes), what (u32), field count (u32)
//   field    name length (u8), name bytes, type code (u32), value count (u32),
//            then the values
//   values   bool and int8: one byte each (a bool is 0 or 1)
//            int32: four bytes
//            string: length (u32) and the bytes, with no NUL anywhere
//            raw: length (u32) and the bytes
//
// A field has at least one value and a name of 1 to kMaxNameLength bytes
// without NUL; no two fields share a name; nothing follows the last field.

namespace {

constexpr uint8 kMagic[4] = { 'G', 'W', 'M', 1 };
constexpr size_t kHeaderSize = sizeof(kMagic) + 4 + 4;
// Name length, type code and value count.
constexpr size_t kFieldOverhead = 1 + 4 + 4;
// The smallest value of any type is one byte.
constexpr size_t kMinFieldSize = kFieldOverhead + 1 + 1;
constexpr size_t kStringOverhead = 4;

using Raw = std::vector<uint8>;

template <typename T>
constexpr uint32 kTypeCode = std::is_same_v<T, bool> ? B_BOOL_TYPE
    : std::is_same_v<T, int8>                        ? B_INT8_TYPE
    : std::is_same_v<T, int32>                       ? B_INT32_TYPE
    : std::is_same_v<T, std::string>                 ? B_STRING_TYPE
                                                     : B_RAW_TYPE;

// The smallest number of bytes one value of type T takes when flattened.
template <typename T>
constexpr size_t kMinValueSize = std::is_same_v<T, int32>      ? 4
    : std::is_same_v<T, std::string> || std::is_same_v<T, Raw> ? kStringOverhead
                                                               : 1;

size_t ValueSize(bool) { return 1; }
size_t ValueSize(int8) { return 1; }
size_t ValueSize(int32) { return 4; }
size_t ValueSize(const std::string& value) { return kStringOverhead + value.size(); }
size_t ValueSize(const Raw& value) { return kStringOverhead + value.size(); }

void PutU32(std::vector<uint8>& out, uint32 value)
{
    for (int shift = 0; shift < 32; shift += 8)
        out.push_back(static_cast<uint8>(value >> shift));
}

void PutValue(std::vector<uint8>& out, bool value) { out.push_back(value ? 1 : 0); }
void PutValue(std::vector<uint8>& out, int8 value) { out.push_back(static_cast<uint8>(value)); }
void PutValue(std::vector<uint8>& out, int32 value) { PutU32(out, static_cast<uint32>(value)); }
void PutValue(std::vector<uint8>& out, const std::string& value)
{
    PutU32(out, static_cast<uint32>(value.size()));
    out.insert(out.end(), value.begin(), value.end());
}
void PutValue(std::vector<uint8>& out, const Raw& value)
{
    PutU32(out, static_cast<uint32>(value.size()));
    out.insert(out.end(), value.begin(), value.end());
}

// Reads the flattened form front to back. Every read checks that the bytes
// are there first; a failed read leaves the position where it was.
struct Reader {
    const uint8* data;
    size_t size;
    size_t position = 0;

    size_t Remaining() const { return size - position; }

    bool Bytes(void* out, size_t count)
    {
        if (count > Remaining())
            return false;
        if (count > 0)
            memcpy(out, data + position, count);
        position += count;
        return true;
    }
    bool U8(uint8* out) { return Bytes(out, 1); }
    bool U32(uint32* out)
    {
        uint8 bytes[4];
        if (!Bytes(bytes, sizeof(bytes)))
            return false;
        *out = static_cast<uint32>(bytes[0]) | (static_cast<uint32>(bytes[1]) << 8)
            | (static_cast<uint32>(bytes[2]) << 16) | (static_cast<uint32>(bytes[3]) << 24);
        return true;
    }

    bool Value(bool* out)
    {
        uint8 byte;
        if (!U8(&byte) || byte > 1)
            return false;
        *out = byte == 1;
        return true;
    }
    bool Value(int8* out)
    {
        uint8 byte;
        if (!U8(&byte))
            return false;
        *out = static_cast<int8>(byte);
        return true;
    }
    bool Value(int32* out)
    {
        uint32 word;
        if (!U32(&word))
            return false;
        *out = static_cast<int32>(word);
        return true;
    }
    bool Value(std::string* out)
    {
        uint32 length;
        if (!U32(&length) || length > Remaining())
            return false;
        const char* start = reinterpret_cast<const char*>(data + position);
        if (memchr(start, '\0', length) != nullptr)
            return false;
        out->assign(start, length);
        position += length;
        return true;
    }
    bool Value(Raw* out)
    {
        uint32 length;
        if (!U32(&length) || length > Remaining())
            return false;
        out->assign(data + position, data + position + length);
        position += length;
        return true;
    }

    template <typename T>
    bool Values(uint32 count, std::vector<T>* out)
    {
        // Checked before anything is allocated, so a forged count costs
        // nothing.
        if (count == 0 || count > Remaining() / kMinValueSize<T>)
            return false;
        out->reserve(count);
        for (uint32 i = 0; i < count; i++) {
            T value {};
            if (!Value(&value))
                return false;
            out->push_back(std::move(value));
        }
        return true;
    }
};

bool ValidName(const char* name)
{
    if (name == nullptr)
        return false;
    size_t length = strnlen(name, BMessage::kMaxNameLength + 1);
    return length > 0 && length <= BMessage::kMaxNameLength;
}

} // namespace

size_t BMessage::FlattenedSize() const { return kHeaderSize + fFieldsSize; }

const BMessage::Field* BMessage::FindField(const char* name) const
{
    if (name == nullptr)
        return nullptr;
    for (const Field& field : fFields) {
        if (field.name == name)
            return &field;
    }
    return nullptr;
}

template <typename T>
status_t BMessage::AddValue(const char* name, T value)
{
    if (!ValidName(name))
        return B_BAD_VALUE;
    // This message isn't const here, so neither is its field.
    Field* field = const_cast<Field*>(FindField(name));
    size_t added = ValueSize(value);
    if (field == nullptr) {
        if (fFields.size() >= kMaxFields)
            return B_BAD_VALUE;
        added += kFieldOverhead + strlen(name);
    } else if (!std::holds_alternative<std::vector<T>>(field->values)) {
        return B_BAD_TYPE;
    }
    if (added > kMaxReplySize - FlattenedSize())
        return B_BAD_VALUE;

    if (field == nullptr)
        field = &fFields.emplace_back(Field { name, std::vector<T>() });
    std::get<std::vector<T>>(field->values).push_back(std::move(value));
    fFieldsSize += added;
    return B_OK;
}

status_t BMessage::AddBool(const char* name, bool value) { return AddValue(name, value); }
status_t BMessage::AddInt8(const char* name, int8 value) { return AddValue(name, value); }
status_t BMessage::AddInt32(const char* name, int32 value) { return AddValue(name, value); }

status_t BMessage::AddString(const char* name, const char* value)
{
    if (value == nullptr)
        return B_BAD_VALUE;
    // Bound the scan: a string longer than a whole message can't fit anyway.
    size_t length = strnlen(value, kMaxReplySize + 1);
    if (length > kMaxReplySize)
        return B_BAD_VALUE;
    return AddValue(name, std::string(value, length));
}

status_t BMessage::AddData(const char* name, uint32 type, const void* data, ssize_t numBytes)
{
    if (type != B_RAW_TYPE)
        return B_BAD_TYPE;
    if (numBytes < 0 || (data == nullptr && numBytes > 0)
        || static_cast<size_t>(numBytes) > kMaxReplySize)
        return B_BAD_VALUE;
    const uint8* bytes = static_cast<const uint8*>(data);
    return AddValue(name, Raw(bytes, bytes + numBytes));
}

template <typename T>
status_t BMessage::FindValues(const char* name, int32 index, const std::vector<T>** values) const
{
    if (name == nullptr)
        return B_BAD_VALUE;
    const Field* field = FindField(name);
    if (field == nullptr)
        return B_NAME_NOT_FOUND;
    *values = std::get_if<std::vector<T>>(&field->values);
    if (*values == nullptr)
        return B_BAD_TYPE;
    if (index < 0 || static_cast<size_t>(index) >= (*values)->size())
        return B_BAD_INDEX;
    return B_OK;
}

template <typename T>
status_t BMessage::FindValue(const char* name, int32 index, T* value) const
{
    const std::vector<T>* values = nullptr;
    status_t status = value != nullptr ? FindValues(name, index, &values) : B_BAD_VALUE;
    if (status == B_OK)
        *value = (*values)[index];
    return status;
}

status_t BMessage::FindBool(const char* name, int32 index, bool* value) const
{
    return FindValue(name, index, value);
}

status_t BMessage::FindInt8(const char* name, int32 index, int8* value) const
{
    return FindValue(name, index, value);
}

status_t BMessage::FindInt32(const char* name, int32 index, int32* value) const
{
    return FindValue(name, index, value);
}

// The pointer is into the message itself: valid until the message changes.
status_t BMessage::FindString(const char* name, int32 index, const char** value) const
{
    const std::vector<std::string>* values = nullptr;
    status_t status = value != nullptr ? FindValues(name, index, &values) : B_BAD_VALUE;
    if (status == B_OK)
        *value = (*values)[index].c_str();
    return status;
}

// The pointer is into the message itself: valid until the message changes.
status_t BMessage::FindData(const char* name, uint32 type, const void** data,
    ssize_t* numBytes) const
{
    if (data == nullptr || numBytes == nullptr)
        return B_BAD_VALUE;
    const std::vector<Raw>* values = nullptr;
    status_t status = FindValues(name, 0, &values);
    if (status == B_OK && type != B_RAW_TYPE)
        status = B_BAD_TYPE;
    if (status != B_OK)
        return status;
    *data = values->front().data();
    *numBytes = static_cast<ssize_t>(values->front().size());
    return B_OK;
}

bool BMessage::HasField(const char* name) const { return FindField(name) != nullptr; }

int32 BMessage::CountNames() const { return static_cast<int32>(fFields.size()); }

bool BMessage::IsEmpty() const { return fFields.empty(); }

void BMessage::MakeEmpty()
{
    what = 0;
    fFields.clear();
    fFieldsSize = 0;
}

bool BMessage::IsSourceWaiting() const
{
    return fReplyChannel != nullptr && fReplyChannel->IsWaiting();
}

Result<> BMessage::SendReply(const BMessage& reply)
{
    if (fReplyChannel == nullptr)
        return Error { B_BAD_VALUE, "no sender waits for a reply" };
    return fReplyChannel->Send(reply);
}

bool BMessage::operator==(const BMessage& other) const
{
    return what == other.what && fFields == other.fFields;
}

std::vector<uint8> BMessage::Flatten() const
{
    std::vector<uint8> out;
    out.reserve(FlattenedSize());
    for (uint8 byte : kMagic)
        out.push_back(byte);
    PutU32(out, what);
    PutU32(out, static_cast<uint32>(fFields.size()));
    for (const Field& field : fFields) {
        out.push_back(static_cast<uint8>(field.name.size()));
        out.insert(out.end(), field.name.begin(), field.name.end());
        std::visit(
            [&out](const auto& values) {
                using T = typename std::decay_t<decltype(values)>::value_type;
                PutU32(out, kTypeCode<T>);
                PutU32(out, static_cast<uint32>(values.size()));
                for (const auto& value : values)
                    PutValue(out, static_cast<const T&>(value));
            },
            field.values);
    }
    return out;
}

Result<> BMessage::Unflatten(const void* data, size_t size, size_t maxSize)
{
    MakeEmpty();
    const Error malformed { B_BAD_DATA, "it is malformed" };
    if (data == nullptr && size > 0)
        return Error { B_BAD_VALUE, "it is missing" };
    if (size > std::min(maxSize, kMaxReplySize))
        return Error { B_BAD_DATA, "it is too large (" + std::to_string(size) + " bytes)" };

    Reader reader { static_cast<const uint8*>(data), size };
    uint8 magic[sizeof(kMagic)];
    uint32 command;
    uint32 fieldCount;
    if (!reader.Bytes(magic, sizeof(magic)) || memcmp(magic, kMagic, sizeof(magic)) != 0
        || !reader.U32(&command) || !reader.U32(&fieldCount))
        return malformed;
    if (fieldCount > kMaxFields || fieldCount > reader.Remaining() / kMinFieldSize)
        return malformed;

    // Built aside and only swapped in once the whole input has checked out.
    std::vector<Field> fields;
    fields.reserve(fieldCount);
    for (uint32 i = 0; i < fieldCount; i++) {
        uint8 nameLength;
        char name[kMaxNameLength];
        uint32 type;
        uint32 count;
        if (!reader.U8(&nameLength) || nameLength == 0 || nameLength > kMaxNameLength
            || !reader.Bytes(name, nameLength) || memchr(name, '\0', nameLength) != nullptr)
            return malformed;
        Field field { std::string(name, nameLength), {} };
        for (const Field& other : fields) {
            if (other.name == field.name)
                return malformed;
        }
        if (!reader.U32(&type) || !reader.U32(&count))
            return malformed;

        bool ok = false;
        switch (type) {
        case B_BOOL_TYPE:
            ok = reader.Values(count, &field.values.emplace<std::vector<bool>>());
            break;
        case B_INT8_TYPE:
            ok = reader.Values(count, &field.values.emplace<std::vector<int8>>());
            break;
        case B_INT32_TYPE:
            ok = reader.Values(count, &field.values.emplace<std::vector<int32>>());
            break;
        case B_STRING_TYPE:
            ok = reader.Values(count, &field.values.emplace<std::vector<std::string>>());
            break;
        case B_RAW_TYPE:
            ok = reader.Values(count, &field.values.emplace<std::vector<Raw>>());
            break;
        default:
            break;
        }
        if (!ok)
            return malformed;
        fields.push_back(std::move(field));
    }
    if (reader.Remaining() != 0)
        return malformed;

    what = command;
    fFields = std::move(fields);
    fFieldsSize = size - kHeaderSize;
    return {};
}
