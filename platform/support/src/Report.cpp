#include "Report.h"

#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

std::atomic<const char*> gProgramName { nullptr };

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

void SetProgramName(const char* name)
{
    gProgramName = name;
}

const char* ProgramName()
{
    const char* name = gProgramName;
    return name != nullptr ? name : program_invocation_short_name;
}

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

std::string ReportedLine(const std::string& text)
{
    return std::string(ProgramName()) + ": " + Printable(text) + "\n";
}

void ReportLine(const std::string& text)
{
    std::string line = ReportedLine(text);
    [[maybe_unused]] ssize_t written = write(STDERR_FILENO, line.data(), line.size());
}

void ReportPlainLine(const char* text)
{
    const char* name = ProgramName();
    iovec parts[] = { { const_cast<char*>(name), strlen(name) }, { const_cast<char*>(": "), 2 },
        { const_cast<char*>(text), strlen(text) }, { const_cast<char*>("\n"), 1 } };
    [[maybe_unused]] ssize_t written = writev(STDERR_FILENO, parts, 4);
}

void ReportFailure(const std::string& what, const std::string& why)
{
    ReportLine("couldn't " + what + ": " + why);
}

void ReportFailure(const std::string& what, const Error& error)
{
    ReportFailure(what, error.reason);
}
