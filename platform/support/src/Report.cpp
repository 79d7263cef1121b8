#include "Report.h"

#include "ProgramInfo.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>

namespace {

// The length of the UTF-8 sequence that `lead` starts, 0 if it starts none.
size_t SequenceLength(unsigned char lead)
{
    if (lead < 0x80)
        return 1;
    if (lead >= 0xC2 && lead <= 0xDF)
        return 2;
    if (lead >= 0xE0 && lead <= 0xEF)
        return 3;
    return lead >= 0xF0 && lead <= 0xF4 ? 4 : 0;
}

} // namespace

std::string Printable(const std::string& text)
{
    std::string printable;
    for (size_t at = 0; at < text.size();) {
        auto lead = static_cast<unsigned char>(text[at]);
        size_t length = SequenceLength(lead);
        for (size_t i = 1; i < length; i++) {
            if (at + i >= text.size() || (text[at + i] & 0xC0) != 0x80)
                length = 0;
        }
        bool control = lead < 0x20 || lead == 0x7F
            || (lead == 0xC2 && length == 2 && static_cast<unsigned char>(text[at + 1]) < 0xA0);
        if (length > 0 && !control) {
            printable.append(text, at, length);
            at += length;
            continue;
        }
        for (size_t end = at + std::max<size_t>(length, 1); at < end; at++) {
            char escape[5];
            snprintf(escape, sizeof escape, "\\x%02x", static_cast<unsigned char>(text[at]));
            if (text[at] == '\n')
                printable += "\\n";
            else if (text[at] == '\t')
                printable += "\\t";
            else
                printable += escape;
        }
    }
    return printable;
}

void ReportLine(const std::string& text)
{
    std::string line = std::string(kProgramName) + ": " + Printable(text) + "\n";
    [[maybe_unused]] ssize_t written = write(STDERR_FILENO, line.data(), line.size());
}

void ReportFailure(const std::string& what, const std::string& why)
{
    ReportLine("couldn't " + what + ": " + why);
}

void ReportFailure(const std::string& what, const Error& error)
{
    ReportFailure(what, error.reason);
}
