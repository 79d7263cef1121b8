#include "LaunchMessage.h"

#include "Message.h"
#include "Report.h"

#include <cstring>
#include <vector>

namespace {

int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

} // namespace

Result<std::string> LaunchMessage::Encode(const BMessage& message)
{
    std::vector<uint8> data = message.Flatten();
    if (data.empty() || data.size() > BMessage::kMaxFlattenedSize)
        return Error { B_BAD_VALUE, "the message is too large (" + std::to_string(data.size()) + " bytes)" };
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text = std::string(kVariable) + "=";
    text.reserve(text.size() + 2 * data.size());
    for (uint8 byte : data) {
        text.push_back(kDigits[byte >> 4]);
        text.push_back(kDigits[byte & 0xf]);
    }
    return text;
}

Result<std::unique_ptr<BMessage>> LaunchMessage::Decode(const char* value)
{
    size_t length = strlen(value);
    if (length % 2 != 0 || length > 2 * BMessage::kMaxFlattenedSize)
        return Error { B_BAD_DATA,
            "it has a bad length (" + std::to_string(length) + " characters)" };
    std::vector<uint8> data(length / 2);
    for (size_t i = 0; i < data.size(); ++i) {
        int high = HexDigit(value[2 * i]);
        int low = HexDigit(value[2 * i + 1]);
        if (high < 0 || low < 0)
            return Error { B_BAD_DATA, "it is not hexadecimal" };
        data[i] = static_cast<uint8>(high << 4 | low);
    }
    auto message = std::make_unique<BMessage>();
    if (Result<> read = message->Unflatten(data.data(), data.size()); !read)
        return read.error();
    return message;
}

std::unique_ptr<BMessage> LaunchMessage::Take()
{
    const char* value = getenv(kVariable);
    if (value == nullptr)
        return nullptr;
    auto message = Decode(value);
    unsetenv(kVariable);
    if (!message) {
        ReportFailure("read the launch message", message.error());
        return nullptr;
    }
    return std::move(*message);
}
