#include "KdeGlobals.h"

#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>

namespace {

constexpr std::string_view kKey = "AnimationDurationFactor";
constexpr const char* kFileName = "kdeglobals";
// Reads of the watch per update: enough for any burst of saves.
constexpr int kMaxReads = 16;

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
    fPath = directory + "/" + kFileName;
    fInotify = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fInotify >= 0
        && inotify_add_watch(fInotify, directory.c_str(),
               IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_CREATE | IN_DELETE)
            < 0) {
        close(fInotify);
        fInotify = -1;
    }
    fValue = ReadAnimationsOff(fPath);
}

KdeGlobals::~KdeGlobals()
{
    if (fInotify >= 0)
        close(fInotify);
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

void KdeGlobals::Update()
{
    if (fInotify < 0)
        return;
    alignas(inotify_event) char buffer[4096];
    bool changed = false;
    for (int reads = 0; reads < kMaxReads; reads++) {
        ssize_t count = read(fInotify, buffer, sizeof buffer);
        if (count <= 0)
            break;
        for (ssize_t at = 0; at < count;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
            changed |= (event->mask & IN_Q_OVERFLOW) != 0
                || (event->len > 0 && strcmp(event->name, kFileName) == 0);
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
    }
    if (changed)
        fValue = ReadAnimationsOff(fPath);
}
