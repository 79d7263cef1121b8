#include "InstanceProcesses.h"

#include "TestSupport.h"

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <thread>

#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

// The line of /proc/<pid>/stat after the command: state first, then parent.
std::string StatAfterName(pid_t pid)
{
    std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
    size_t end = stat.rfind(')');
    return end != std::string::npos && end + 2 < stat.size() ? stat.substr(end + 2) : "";
}

} // namespace

std::vector<pid_t> AllProcesses()
{
    std::vector<pid_t> pids;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator("/proc", error)) {
        pid_t pid = static_cast<pid_t>(std::atoi(entry.path().filename().c_str()));
        if (pid > 0)
            pids.push_back(pid);
    }
    return pids;
}

char State(pid_t pid)
{
    std::string rest = StatAfterName(pid);
    return rest.empty() ? 0 : rest[0];
}

bool Alive(pid_t pid)
{
    char state = State(pid);
    return state != 0 && state != 'Z';
}

pid_t Parent(pid_t pid)
{
    std::istringstream fields(StatAfterName(pid));
    char state = 0;
    pid_t parent = 0;
    fields >> state >> parent;
    return parent;
}

pid_t SessionOf(pid_t pid)
{
    std::istringstream fields(StatAfterName(pid));
    char state = 0;
    pid_t parent = 0, group = 0, session = 0;
    fields >> state >> parent >> group >> session;
    return session;
}

std::vector<pid_t> ChildrenOf(pid_t pid)
{
    std::vector<pid_t> children;
    for (pid_t each : AllProcesses()) {
        if (Parent(each) == pid)
            children.push_back(each);
    }
    return children;
}

int CountDescriptors(pid_t pid)
{
    std::error_code error;
    int count = 0;
    for (fs::directory_iterator it("/proc/" + std::to_string(pid) + "/fd", error), end;
         !error && it != end; it.increment(error)) {
        std::error_code linkError;
        if (fs::read_symlink(it->path(), linkError).string().find("/fonts/") == std::string::npos)
            count++;
    }
    return error ? -1 : count;
}

int SettledDescriptorCount(pid_t pid)
{
    int last = CountDescriptors(pid);
    for (int reading = 0; reading < 10; reading++) {
        std::this_thread::sleep_for(std::chrono::seconds(1));
        int now = CountDescriptors(pid);
        if (now == last)
            return now;
        last = now;
    }
    return -1;
}

std::string Descriptors(pid_t pid)
{
    std::string text;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", error))
        text += entry.path().filename().string() + " -> "
            + fs::read_symlink(entry.path(), error).string() + "\n";
    return text;
}

bool WritesIn(pid_t pid, const std::string& directory)
{
    std::error_code error;
    for (const auto& entry : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", error)) {
        std::error_code linkError;
        struct stat status {};
        if (fs::read_symlink(entry.path(), linkError).string().starts_with(directory + "/")
            && stat(entry.path().c_str(), &status) == 0 && S_ISREG(status.st_mode)
            && status.st_size > 0)
            return true;
    }
    return false;
}

int CountThreads(pid_t pid)
{
    std::error_code error;
    int count = 0;
    for (fs::directory_iterator it("/proc/" + std::to_string(pid) + "/task", error), end;
         !error && it != end; it.increment(error))
        count++;
    return count;
}

std::vector<pid_t> ProcessesWith(const std::string& marker)
{
    std::vector<pid_t> pids;
    for (pid_t pid : AllProcesses()) {
        if (pid == getpid())
            continue;
        std::string environment = ReadFile("/proc/" + std::to_string(pid) + "/environ");
        std::istringstream variables(environment);
        for (std::string variable; std::getline(variables, variable, '\0');) {
            if (variable == marker) {
                pids.push_back(pid);
                break;
            }
        }
    }
    return pids;
}

bool KillProcessesWith(const std::string& variable)
{
    auto noneLeft = [&] {
        bool none = true;
        for (pid_t pid : ProcessesWith(variable)) {
            if (Alive(pid)) {
                kill(pid, SIGKILL);
                none = false;
            }
        }
        return none;
    };
    return WaitUntil(noneLeft, std::chrono::seconds(10));
}
