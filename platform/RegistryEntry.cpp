#include "platform/RegistryEntry.h"

#include "platform/RegistryDirectory.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <thread>

namespace {

// A lister holds a dead entry's lock only while it removes the files, so a
// lock that stays taken for this long belongs to a live process.
constexpr auto kLockPatience = std::chrono::seconds(2);

// Whether `name` in `directoryFd` still names the file open as `fd`. A lock
// taken on a file that has since been removed or replaced protects nothing.
bool StillNames(int directoryFd, const char* name, int fd)
{
    struct stat open, named;
    return fstat(fd, &open) == 0 && fstatat(directoryFd, name, &named, AT_SYMLINK_NOFOLLOW) == 0
        && open.st_dev == named.st_dev && open.st_ino == named.st_ino;
}

// The pid of a "<pid>.lock" name, or 0 for any other name.
pid_t PidOfLockName(const char* name)
{
    long long pid = 0;
    const char* c = name;
    for (; *c >= '0' && *c <= '9'; ++c) {
        pid = pid * 10 + (*c - '0');
        if (pid > INT_MAX)
            return 0;
    }
    if (c == name || strcmp(c, ".lock") != 0)
        return 0;
    return static_cast<pid_t>(pid);
}

} // namespace

std::unique_ptr<RegistryEntry> RegistryEntry::Create(const RegistryDirectory& directory,
    status_t* error, std::string* why)
{
    std::string name = LockName(getpid());
    auto deadline = std::chrono::steady_clock::now() + kLockPatience;
    for (;;) {
        int fd = openat(directory.Fd(), name.c_str(),
            O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0) {
            *error = errno == EACCES ? B_PERMISSION_DENIED : B_ERROR;
            *why = "can't create " + name + ": " + strerror(errno);
            return nullptr;
        }
        if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
            // A lister may have removed the file between our open and our
            // lock, taking it for a dead entry: then start over.
            if (StillNames(directory.Fd(), name.c_str(), fd)) {
                int directoryFd = fcntl(directory.Fd(), F_DUPFD_CLOEXEC, 0);
                if (directoryFd < 0) {
                    close(fd);
                    *error = B_ERROR;
                    *why = strerror(errno);
                    return nullptr;
                }
                return std::unique_ptr<RegistryEntry>(new RegistryEntry(directoryFd, fd));
            }
        } else if (errno != EWOULDBLOCK && errno != EINTR) {
            *error = B_ERROR;
            *why = "can't lock " + name + ": " + strerror(errno);
            close(fd);
            return nullptr;
        }
        close(fd);
        if (std::chrono::steady_clock::now() >= deadline) {
            *error = B_NOT_ALLOWED;
            *why = name + " is held by another process";
            return nullptr;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

RegistryEntry::~RegistryEntry()
{
    std::string name = LockName(getpid());
    if (StillNames(fDirectoryFd, name.c_str(), fLockFd))
        unlinkat(fDirectoryFd, name.c_str(), 0);
    close(fLockFd);
    close(fDirectoryFd);
}

std::vector<pid_t> RegistryEntry::ListRunning(const RegistryDirectory& directory)
{
    std::vector<pid_t> running;
    // A descriptor of its own: a DIR stream moves its descriptor's offset.
    int listFd = openat(directory.Fd(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (listFd < 0)
        return running;
    DIR* stream = fdopendir(listFd);
    if (stream == nullptr) {
        close(listFd);
        return running;
    }
    while (dirent* item = readdir(stream)) {
        pid_t pid = PidOfLockName(item->d_name);
        if (pid <= 0)
            continue;
        int fd = openat(directory.Fd(), item->d_name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0)
            continue; // removed meanwhile
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            if (errno == EWOULDBLOCK)
                running.push_back(pid);
        } else if (StillNames(directory.Fd(), item->d_name, fd)) {
            // Nobody holds the lock: its process is gone. While we hold it,
            // no new owner can take this file over; the socket goes first so
            // it never outlives its lock file.
            unlinkat(directory.Fd(), SocketName(pid).c_str(), 0);
            unlinkat(directory.Fd(), item->d_name, 0);
        }
        close(fd);
    }
    closedir(stream);
    std::sort(running.begin(), running.end());
    return running;
}
