#include "RegistryEntry.h"

#include "FatalExit.h"
#include "RegistryDirectory.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <thread>

namespace {

// The entry RemoveOwnNow() removes: a directory descriptor of its own, or
// -1 when there is none and kFilling while the names are being made, and
// the entry's file names, the lock file last.
constexpr int kFilling = -2;
constexpr int kOwnNames = 4;
std::atomic<int> gOwnDirectoryFd { -1 };
char gOwnNames[kOwnNames][32];
// The process the entry is of. A copy of it made by fork() has the same
// globals, but the files are not its to remove.
std::atomic<pid_t> gOwnPid { 0 };

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

// The pid of a "<pid>.lock" name, or 0 for any other name: the pid as the
// system writes it, so no two names stand for one process.
pid_t PidOfLockName(const char* name)
{
    long long pid = 0;
    const char* c = name;
    if (*c == '0')
        return 0;
    for (; *c >= '0' && *c <= '9'; ++c) {
        pid = pid * 10 + (*c - '0');
        if (pid > INT_MAX)
            return 0;
    }
    if (c == name || strcmp(c, ".lock") != 0)
        return 0;
    return static_cast<pid_t>(pid);
}

// The file a description is written to before it is renamed into place.
std::string NewInfoName(pid_t pid)
{
    return RegistryEntry::InfoName(pid) + ".new";
}

// Removes the description files of the entry of `pid`.
void RemoveInfo(int directoryFd, pid_t pid)
{
    unlinkat(directoryFd, RegistryEntry::InfoName(pid).c_str(), 0);
    unlinkat(directoryFd, NewInfoName(pid).c_str(), 0);
}

// Whether some open file description holds a lock on the file open as `fd`.
bool IsLocked(int fd)
{
    if (flock(fd, LOCK_SH | LOCK_NB) == 0) {
        flock(fd, LOCK_UN);
        return false;
    }
    return errno == EWOULDBLOCK;
}

// Reads the regular file `name`, which must hold at most `limit` bytes.
// B_NAME_NOT_FOUND when there is no such file, B_BAD_DATA when it is
// anything else or can't be read.
Result<std::vector<uint8>> ReadSmallFile(int directoryFd, const std::string& name, size_t limit)
{
    // Non-blocking, so a FIFO put in its place can't stall the reader.
    int fd = openat(directoryFd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        Error error = Error::FromErrno(errno, name + ": ");
        error.code = error.code == B_ENTRY_NOT_FOUND ? B_NAME_NOT_FOUND : B_BAD_DATA;
        return error;
    }
    struct stat info;
    bool readable = fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
    std::vector<uint8> bytes(limit + 1);
    size_t size = 0;
    while (readable && size < bytes.size()) {
        ssize_t count = read(fd, bytes.data() + size, bytes.size() - size);
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0) {
            readable = count == 0;
            break;
        }
        size += static_cast<size_t>(count);
    }
    close(fd);
    if (!readable || size > limit)
        return Error { B_BAD_DATA, name + " is no readable file of at most " + std::to_string(limit) + " bytes" };
    bytes.resize(size);
    return bytes;
}

} // namespace

Result<std::unique_ptr<RegistryEntry>> RegistryEntry::Create(const RegistryDirectory& directory)
{
    std::string name = LockName(getpid());
    auto deadline = std::chrono::steady_clock::now() + kLockPatience;
    for (;;) {
        int fd = openat(directory.Fd(), name.c_str(),
            O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0) {
            return Error::FromErrno(errno, "can't create " + name + ": ");
        }
        if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
            // A lister may have removed the file between our open and our
            // lock, taking it for a dead entry: then start over.
            if (StillNames(directory.Fd(), name.c_str(), fd)) {
                // The entry's files are ours only now that we hold its lock:
                // a process with the same pid in another pid namespace that
                // shares this directory may hold it until then. A
                // description left by a dead process goes before anyone
                // could take it for ours.
                RemoveInfo(directory.Fd(), getpid());
                int directoryFd = fcntl(directory.Fd(), F_DUPFD_CLOEXEC, 0);
                if (directoryFd < 0) {
                    Error error = Error::FromErrno(errno);
                    close(fd);
                    return error;
                }
                std::unique_ptr<RegistryEntry> entry(new RegistryEntry(directoryFd, fd));
                entry->PrepareRemoval();
                return entry;
            }
        } else if (errno != EWOULDBLOCK && errno != EINTR) {
            Error error = Error::FromErrno(errno, "can't lock " + name + ": ");
            close(fd);
            return error;
        }
        close(fd);
        if (std::chrono::steady_clock::now() >= deadline)
            return Error { B_NOT_ALLOWED, name + " is held by another process" };
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

void RegistryEntry::PrepareRemoval()
{
    // The first entry of the process is the one; a test may make more.
    int expected = -1;
    if (!gOwnDirectoryFd.compare_exchange_strong(expected, kFilling))
        return;
    int fd = fcntl(fDirectoryFd, F_DUPFD_CLOEXEC, 0);
    if (fd < 0) {
        gOwnDirectoryFd = -1;
        return;
    }
    pid_t pid = getpid();
    const std::string names[kOwnNames]
        = { SocketName(pid), InfoName(pid), NewInfoName(pid), LockName(pid) };
    for (int i = 0; i < kOwnNames; ++i)
        snprintf(gOwnNames[i], sizeof(gOwnNames[i]), "%s", names[i].c_str());
    gOwnPid = pid;
    fRemovalFd = fd;
    gOwnDirectoryFd = fd;
    static bool hooked = (AddFatalExitHook(RemoveOwnNow), true);
    (void)hooked;
}

void RegistryEntry::RemoveOwnNow()
{
    if (getpid() != gOwnPid)
        return;
    int fd = gOwnDirectoryFd.exchange(-1);
    if (fd < 0)
        return;
    for (const char* name : gOwnNames)
        unlinkat(fd, name, 0);
    // The descriptor stays open: the process is about to end.
}

RegistryEntry::~RegistryEntry()
{
    // Taken back unless RemoveOwnNow() has it; then it is left to the
    // process's end.
    int expected = fRemovalFd;
    if (fRemovalFd >= 0 && gOwnDirectoryFd.compare_exchange_strong(expected, -1))
        close(fRemovalFd);
    std::string name = LockName(getpid());
    if (StillNames(fDirectoryFd, name.c_str(), fLockFd)) {
        RemoveInfo(fDirectoryFd, getpid());
        unlinkat(fDirectoryFd, name.c_str(), 0);
    }
    close(fLockFd);
    close(fDirectoryFd);
}

std::vector<pid_t> RegistryEntry::ListRunning(const RegistryDirectory& directory)
{
    return Scan(directory, false);
}

bool RegistryEntry::AnyRunning(const RegistryDirectory& directory)
{
    return !Scan(directory, true).empty();
}

std::vector<pid_t> RegistryEntry::Scan(const RegistryDirectory& directory, bool firstOnly)
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
    dirent* item;
    while ((running.empty() || !firstOnly) && (item = readdir(stream)) != nullptr) {
        pid_t pid = PidOfLockName(item->d_name);
        if (pid <= 0)
            continue;
        // Non-blocking, so a FIFO put in a lock file's place can't stall the
        // lister.
        int fd = openat(directory.Fd(), item->d_name,
            O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0)
            continue; // removed meanwhile
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            if (errno == EWOULDBLOCK)
                running.push_back(pid);
        } else if (StillNames(directory.Fd(), item->d_name, fd)) {
            // Nobody holds the lock: its process is gone. While we hold it,
            // no new owner can take this file over; the description, a path
            // of the executable it was writing when it died, and the socket
            // go first so they never outlive their lock file.
            RemoveInfo(directory.Fd(), pid);
            directory.RemoveExecutableLeftover(pid);
            unlinkat(directory.Fd(), SocketName(pid).c_str(), 0);
            unlinkat(directory.Fd(), item->d_name, 0);
        }
        close(fd);
    }
    closedir(stream);
    std::sort(running.begin(), running.end());
    return running;
}

Result<> RegistryEntry::WriteInfo(const void* bytes, size_t size)
{
    pid_t pid = getpid();
    std::string temporary = NewInfoName(pid);
    int fd = openat(fDirectoryFd, temporary.c_str(),
        O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return Error::FromErrno(errno, "can't create " + temporary + ": ");
    const uint8* data = static_cast<const uint8*>(bytes);
    size_t written = 0;
    int error = 0;
    while (written < size && error == 0) {
        ssize_t count = write(fd, data + written, size - written);
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            error = count < 0 ? errno : ENOSPC;
        else
            written += static_cast<size_t>(count);
    }
    if (close(fd) != 0 && error == 0)
        error = errno;
    if (error == 0
        && renameat(fDirectoryFd, temporary.c_str(), fDirectoryFd, InfoName(pid).c_str()) != 0)
        error = errno;
    if (error != 0) {
        unlinkat(fDirectoryFd, temporary.c_str(), 0);
        return Error::FromErrno(error, "can't write " + InfoName(pid) + ": ");
    }
    return {};
}

Result<std::vector<uint8>> RegistryEntry::ReadInfo(const RegistryDirectory& directory, pid_t pid,
    size_t limit)
{
    if (pid <= 0)
        return Error { B_BAD_VALUE, std::to_string(pid) + " is no process id" };
    const Error notRunning { B_ENTRY_NOT_FOUND, "no instance with pid " + std::to_string(pid) + " runs" };
    std::string lockName = LockName(pid);
    int lockFd = openat(directory.Fd(), lockName.c_str(),
        O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (lockFd < 0)
        return notRunning;
    // Live means locked, and still the file under that name: an entry that
    // ended while we read, or was replaced by a new process with the same
    // pid, published what we read for nobody alive.
    auto live = [&] {
        return IsLocked(lockFd) && StillNames(directory.Fd(), lockName.c_str(), lockFd);
    };
    Result<std::vector<uint8>> bytes = notRunning;
    if (live()) {
        bytes = ReadSmallFile(directory.Fd(), InfoName(pid), limit);
        if (!live())
            bytes = notRunning;
    }
    close(lockFd);
    return bytes;
}
