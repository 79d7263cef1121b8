// Messages: typed fields, the ways a lookup or an add can fail, and
// flattening, whose reverse must turn down every malformed input and leave
// the message empty.

#include "Message.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace {

// Builds flattened bytes by hand, the way a forged or damaged message would.
struct Bytes {
    std::vector<uint8> data;
    Bytes& U8(uint8 v)
    {
        data.push_back(v);
        return *this;
    }
    Bytes& U32(uint32 v)
    {
        for (int shift = 0; shift < 32; shift += 8)
            data.push_back(static_cast<uint8>(v >> shift));
        return *this;
    }
    Bytes& Raw(const std::string& s)
    {
        data.insert(data.end(), s.begin(), s.end());
        return *this;
    }
    Bytes& Header(uint32 what, uint32 fields) { return Raw("GWM").U8(1).U32(what).U32(fields); }
    Bytes& Name(const std::string& s) { return U8(static_cast<uint8>(s.size())).Raw(s); }
    // A header and one field of `count` values, with `values` as their bytes.
    Bytes& Field(const std::string& name, uint32 type, uint32 count, const std::string& values)
    {
        return Header(1, 1).Name(name).U32(type).U32(count).Raw(values);
    }
};

BMessage Sample()
{
    BMessage message(FourCC("smpl"));
    message.AddBool("on", true);
    message.AddInt8("wave", -3);
    message.AddInt32("delta", -70000);
    message.AddInt32("delta", 5);
    message.AddString("label", "drone");
    message.AddString("label", "");
    return message;
}

// Unflattens into a message that held something before, so a failure that
// leaves old or partial contents behind shows.
void ExpectRejected(const std::vector<uint8>& data)
{
    BMessage message = Sample();
    EXPECT_EQ(message.Unflatten(data.data(), data.size()).code(), B_BAD_DATA);
    EXPECT_EQ(message, BMessage());
}

} // namespace

TEST(MessageFlatten, EveryFieldTypeAndMultipleValuesRoundTripExactly)
{
    std::vector<uint8> flat = Sample().Flatten();
    BMessage copy;
    ASSERT_TRUE(copy.Unflatten(flat.data(), flat.size()));
    EXPECT_EQ(copy, Sample());
    EXPECT_EQ(copy.Flatten(), flat);
}

TEST(MessageFind, DistinguishesMissingNameWrongTypeAndBadIndex)
{
    BMessage message = Sample();
    bool b = false;
    int32 i = 0;
    const char* label = nullptr;
    EXPECT_TRUE(message.HasField("delta"));
    EXPECT_EQ(message.FindBool("delta", &b), B_BAD_TYPE);
    EXPECT_EQ(message.FindBool("nothing", &b), B_NAME_NOT_FOUND);
    EXPECT_EQ(message.FindInt32("delta", 1, &i), B_OK);
    EXPECT_EQ(i, 5);
    EXPECT_EQ(message.FindInt32("delta", 2, &i), B_BAD_INDEX);
    EXPECT_EQ(message.FindInt32("delta", -1, &i), B_BAD_INDEX);
    ASSERT_EQ(message.FindString("label", 0, &label), B_OK);
    EXPECT_STREQ(label, "drone");
    EXPECT_EQ(message.CountNames(), 4);
}

TEST(MessageAdd, RefusesBadNamesASecondTypeAndAnythingPastTheLimits)
{
    BMessage message;
    EXPECT_EQ(message.AddInt32("", 1), B_BAD_VALUE);
    EXPECT_EQ(message.AddInt32(std::string(64, 'n').c_str(), 1), B_BAD_VALUE);
    EXPECT_EQ(message.AddInt32(std::string(63, 'n').c_str(), 1), B_OK);
    EXPECT_EQ(message.AddInt8(std::string(63, 'n').c_str(), 1), B_BAD_TYPE);
    EXPECT_EQ(message.AddString("s", nullptr), B_BAD_VALUE);
    EXPECT_EQ(message.CountNames(), 1);

    for (int n = 1; n < 64; n++)
        ASSERT_EQ(message.AddBool(std::to_string(n).c_str(), true), B_OK);
    EXPECT_EQ(message.AddBool("one more", true), B_BAD_VALUE);

    // Whatever could be added still flattens and comes back, as a reply.
    BMessage big;
    std::vector<uint8> block(1000, 0);
    while (big.AddData("d", B_RAW_TYPE, block.data(), 1000) == B_OK) {}
    while (big.AddString("s", "0123456789") == B_OK) {}
    while (big.AddInt8("b", 1) == B_OK) {}
    EXPECT_EQ(big.AddBool("c", true), B_BAD_VALUE);
    std::vector<uint8> flat = big.Flatten();
    EXPECT_EQ(flat.size(), 262144u);
    BMessage copy;
    EXPECT_EQ(copy.Unflatten(flat.data(), flat.size()).code(), B_BAD_DATA);
    ASSERT_TRUE(copy.Unflatten(flat.data(), flat.size(), 262144));
    EXPECT_EQ(copy, big);
}

TEST(MessageRaw, AnyBytesRoundTripAndAreFoundOnlyAsRaw)
{
    BMessage message(1);
    const uint8 bytes[] = { 0, 'G', 'W', 'M', 1, 0xff, 0 };
    EXPECT_EQ(message.AddData("raw", B_STRING_TYPE, bytes, 7), B_BAD_TYPE);
    EXPECT_EQ(message.AddData("raw", B_RAW_TYPE, bytes, -1), B_BAD_VALUE);
    ASSERT_EQ(message.AddData("raw", B_RAW_TYPE, bytes, 7), B_OK);
    ASSERT_EQ(message.AddData("raw", B_RAW_TYPE, nullptr, 0), B_OK);
    std::vector<uint8> flat = message.Flatten();
    EXPECT_EQ(flat, Bytes().Field("raw", B_RAW_TYPE, 2, "").U32(7).Raw(std::string("\0GWM\1\xff\0", 7)).U32(0).data);
    BMessage copy;
    ASSERT_TRUE(copy.Unflatten(flat.data(), flat.size()));
    const void* data = nullptr;
    ssize_t size = 0;
    ASSERT_EQ(copy.FindData("raw", B_RAW_TYPE, &data, &size), B_OK);
    const uint8* found = static_cast<const uint8*>(data);
    EXPECT_EQ(std::vector<uint8>(found, found + size), std::vector<uint8>(bytes, bytes + 7));
    EXPECT_EQ(copy.FindData("raw", B_INT32_TYPE, &data, &size), B_BAD_TYPE);
    EXPECT_EQ(Sample().FindData("label", B_RAW_TYPE, &data, &size), B_BAD_TYPE);
}

TEST(MessageUnflatten, RejectsTruncationAtEveryLengthAndTrailingBytes)
{
    std::vector<uint8> flat = Sample().Flatten();
    for (size_t length = 0; length < flat.size(); length++) {
        SCOPED_TRACE(length);
        ExpectRejected(std::vector<uint8>(flat.begin(), flat.begin() + length));
    }
    flat.push_back(0);
    ExpectRejected(flat);
}

TEST(MessageUnflatten, RejectsBadHeadersNamesTypesValuesAndSizes)
{
    std::vector<uint8> valid = Bytes().Field("b", B_BOOL_TYPE, 1, "\1").data;
    EXPECT_TRUE(BMessage().Unflatten(valid.data(), valid.size()));
    const std::string aNulB("a\0b", 3);
    const std::pair<const char*, Bytes> cases[] = {
        { "version 2", Bytes().Raw("GWM").U8(2).U32(1).U32(0) },
        { "wrong magic", Bytes().Raw("XWM").U8(1).U32(1).U32(0) },
        { "bool neither 0 nor 1", Bytes().Field("b", B_BOOL_TYPE, 1, "\2") },
        { "unknown type", Bytes().Field("b", FourCC("FLOT"), 1, "\1") },
        { "empty name", Bytes().Field("", B_INT8_TYPE, 1, "\1") },
        { "NUL in name", Bytes().Field(aNulB, B_INT8_TYPE, 1, "\1") },
        { "name too long", Bytes().Field(std::string(64, 'n'), B_INT8_TYPE, 1, "\1") },
        { "NUL in string", Bytes().Field("s", B_STRING_TYPE, 1, "").U32(3).Raw(aNulB) },
        { "no values", Bytes().Field("z", B_INT8_TYPE, 0, "") },
        { "name twice", Bytes().Header(1, 2).Name("d").U32(B_INT8_TYPE).U32(1).U8(1).Name("d").U32(B_INT8_TYPE).U32(1).U8(2) },
        { "past the size limit",
            Bytes().Field("s", B_STRING_TYPE, 1, "").U32(4096).Raw(std::string(4096, 'x')) },
        { "huge field count", Bytes().Header(1, 0xFFFFFFFF) },
        { "65 fields", Bytes().Header(1, 65) },
        { "huge value count", Bytes().Field("v", B_INT32_TYPE, 0xFFFFFFFF, "").U32(7) },
        { "huge string length", Bytes().Field("s", B_STRING_TYPE, 1, "").U32(0xFFFFFFFF).Raw("abc") },
        { "raw past the end", Bytes().Field("r", B_RAW_TYPE, 1, "").U32(8).Raw("1234567") },
        { "raw count too high", Bytes().Field("r", B_RAW_TYPE, 3, "").U32(0).U32(0) },
    };
    for (const auto& [what, bytes] : cases) {
        SCOPED_TRACE(what);
        ExpectRejected(bytes.data);
    }
}

TEST(MessageUnflatten, RejectsGarbageWithOrWithoutAValidHeader)
{
    std::mt19937 random(20240611);
    for (int round = 0; round < 64; round++) {
        std::vector<uint8> garbage(random() % 200);
        for (uint8& byte : garbage)
            byte = static_cast<uint8>(random());
        ExpectRejected(garbage);
        std::vector<uint8> headed = Bytes().Header(1, 2).data;
        headed.insert(headed.end(), garbage.begin(), garbage.end());
        BMessage message = Sample();
        if (!message.Unflatten(headed.data(), headed.size())) {
            EXPECT_EQ(message, BMessage());
        }
    }
}
