#include "Report.h"

#include "ProgramInfo.h"

#include <unistd.h>

void ReportLine(const std::string& text)
{
    std::string line = std::string(kProgramName) + ": " + text + "\n";
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
