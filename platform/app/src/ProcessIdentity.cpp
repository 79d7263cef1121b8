#include "ProcessIdentity.h"

#include <unistd.h>

#include <climits>
#include <mutex>

namespace {

std::string ReadOwnExecutable()
{
    char buffer[PATH_MAX];
    ssize_t size = readlink("/proc/self/exe", buffer, sizeof(buffer));
    if (size <= 0 || static_cast<size_t>(size) >= sizeof(buffer))
        return {};
    return std::string(buffer, static_cast<size_t>(size));
}

std::mutex gSignatureLock;
std::string gSignature;

// Reads the path while the program starts, not when it is first asked for.
[[maybe_unused]] const std::string& gExecutableAtStartUp = ProcessIdentity::ExecutablePath();

} // namespace

const std::string& ProcessIdentity::ExecutablePath()
{
    static const std::string path = ReadOwnExecutable();
    return path;
}

std::string ProcessIdentity::Signature()
{
    std::lock_guard<std::mutex> lock(gSignatureLock);
    return gSignature;
}

void ProcessIdentity::SetSignature(const std::string& signature)
{
    std::lock_guard<std::mutex> lock(gSignatureLock);
    gSignature = signature;
}
