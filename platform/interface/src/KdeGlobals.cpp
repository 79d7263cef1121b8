#include "KdeGlobals.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdlib>

namespace {

constexpr std::string_view kKey = "AnimationDurationFactor";

std::string_view Trimmed(std::string_view text)
{
    size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos)
        return {};
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

// $XDG_CONFIG_HOME if it is an absolute path, else ~/.config; empty
// without either.
std::string ConfigDirectory()
{
    const char* config = getenv("XDG_CONFIG_HOME");
    if (config != nullptr && config[0] == '/')
        return config;
    const char* home = getenv("HOME");
    if (home != nullptr && home[0] == '/')
        return std::string(home) + "/.config";
    return {};
}

} // namespace

KdeGlobals::KdeGlobals()
{
    std::string directory = ConfigDirectory();
    if (directory.empty())
        return;
    fPath = directory + "/kdeglobals";
    fVersion = CurrentVersion();
    fValue = ReadAnimationsOff(fPath);
}

std::optional<bool> KdeGlobals::AnimationsOff(std::string_view text)
{
    // -1 while unset, else whether the factor is 0.
    int off = -1;
    bool inGroup = false;
    while (!text.empty()) {
        size_t end = text.find('\n');
        std::string_view line = Trimmed(text.substr(0, end));
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        if (line.starts_with('[')) {
            // [KDE], or [KDE][$i] where an administrator locked the group;
            // [KDE][Other] is a group of its own.
            inGroup = line == "[KDE]" || line.starts_with("[KDE][$");
            continue;
        }
        size_t equals = line.find('=');
        if (!inGroup || equals == std::string_view::npos)
            continue;
        // The key may carry flags too: AnimationDurationFactor[$i].
        std::string_view key = Trimmed(line.substr(0, equals));
        if (key != kKey && !key.starts_with(std::string(kKey) + "[$"))
            continue;
        // As KDE reads it, the last entry counts.
        std::string_view value = Trimmed(line.substr(equals + 1));
        double factor = -1;
        auto [stop, error] = std::from_chars(value.data(), value.data() + value.size(), factor);
        bool number = error == std::errc() && stop == value.data() + value.size() && factor >= 0;
        off = number ? factor == 0 : -1;
    }
    return off < 0 ? std::nullopt : std::optional<bool>(off == 1);
}

std::optional<bool> KdeGlobals::ReadAnimationsOff(const std::string& path)
{
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    std::string text;
    struct stat status;
    if (fstat(fd, &status) == 0 && S_ISREG(status.st_mode)) {
        char buffer[4096];
        while (text.size() < kMaxSize) {
            ssize_t count = read(fd, buffer, std::min(sizeof buffer, kMaxSize - text.size()));
            if (count < 0 && errno == EINTR)
                continue;
            if (count <= 0)
                break;
            text.append(buffer, static_cast<size_t>(count));
        }
    }
    close(fd);
    return AnimationsOff(text);
}

KdeGlobals::Version KdeGlobals::CurrentVersion() const
{
    struct stat status;
    if (stat(fPath.c_str(), &status) != 0)
        return {};
    return { static_cast<int64>(status.st_dev), static_cast<int64>(status.st_ino),
        static_cast<int64>(status.st_size), static_cast<int64>(status.st_mtim.tv_sec),
        static_cast<int64>(status.st_mtim.tv_nsec), static_cast<int64>(status.st_ctim.tv_nsec) };
}

void KdeGlobals::Update(bigtime_t now)
{
    if (fPath.empty() || now - fChecked < kCheckInterval)
        return;
    fChecked = now;
    Version version = CurrentVersion();
    if (version == fVersion)
        return;
    fVersion = version;
    fValue = ReadAnimationsOff(fPath);
}
