#include "Tool.h"

#include "List.h"
#include "ProgramInfo.h"
#include "Report.h"
#include "Roster.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>

int UsageError(const std::string& what)
{
    ReportLine(what);
    fprintf(stderr, "Try '%s --help' for more information.\n", kTool);
    return EXIT_USAGE;
}

std::string Quoted(const std::string& text)
{
    return "\"" + text + "\"";
}

std::optional<pid_t> ParsePid(const std::string& text)
{
    if (text.empty() || text.size() > 10 || text[0] == '0')
        return std::nullopt;
    long long value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + (c - '0');
    }
    if (value <= 0 || value > INT_MAX)
        return std::nullopt;
    return static_cast<pid_t>(value);
}

bool IsOption(const std::string& argument)
{
    return argument.size() > 1 && argument[0] == '-' && (argument[1] < '0' || argument[1] > '9');
}

std::string Describe(status_t status)
{
    switch (status) {
    case B_ENTRY_NOT_FOUND:
        return "it is not listening";
    case B_TIMED_OUT:
        return "timed out";
    case B_PERMISSION_DENIED:
        return "permission denied";
    case B_NOT_ALLOWED:
        return "not allowed";
    case B_BAD_VALUE:
        return "bad request";
    default:
        return "error " + std::to_string(status);
    }
}

Result<std::vector<pid_t>> RunningInstances()
{
    BList list;
    status_t status = be_roster->GetAppList(kProgramSignature, &list);
    if (status != B_OK) {
        return Error { status,
            status == B_NOT_ALLOWED ? std::string("it is not private to this user") : Describe(status) };
    }
    std::vector<pid_t> pids;
    for (int32 i = 0; i < list.CountItems(); ++i)
        pids.push_back(static_cast<pid_t>(reinterpret_cast<intptr_t>(list.ItemAt(i))));
    return pids;
}

bool IsRunning(const std::vector<pid_t>& pids, pid_t pid)
{
    return std::find(pids.begin(), pids.end(), pid) != pids.end();
}
