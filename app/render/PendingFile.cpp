#include "PendingFile.h"

#include "Clock.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

constexpr int kNameAttempts = 100;
constexpr const char kAccessAcl[] = "system.posix_acl_access";

// The hidden file the signal handler removes, if there is one.
volatile sig_atomic_t gHiddenDirectory = -1;
char gHiddenName[64];

// Holds back every signal that can be held back while it lives, so that a
// step of several calls is not cut in two.
class BlockedSignals {
public:
    BlockedSignals()
    {
        sigset_t all;
        sigfillset(&all);
        sigprocmask(SIG_BLOCK, &all, &fPrevious);
    }
    ~BlockedSignals() { sigprocmask(SIG_SETMASK, &fPrevious, nullptr); }

private:
    sigset_t fPrevious;
};

// ".gondavel_wubbix-render." and six random letters or digits.
std::string HiddenName()
{
    static const char kCharacters[]
        = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    unsigned char random[6];
    if (getrandom(random, sizeof random, 0) != sizeof random) {
        bigtime_t now = system_time() ^ getpid();
        memcpy(random, &now, sizeof random);
    }
    std::string name = ".gondavel_wubbix-render.";
    for (unsigned char byte : random)
        name += kCharacters[byte % (sizeof kCharacters - 1)];
    return name;
}

void RemoveHiddenAndEnd(int signal)
{
    int directory = gHiddenDirectory;
    if (directory >= 0)
        unlinkat(directory, gHiddenName, 0);
    // The handler was reset on entry: the signal, raised again, ends the
    // process as it would have, once the handler returns.
    raise(signal);
}

// Has every signal whose default is to end the process, and that is not
// ignored or held for a signalfd, remove the hidden file first.
void RemoveHiddenOnSignals()
{
    struct sigaction action {};
    action.sa_handler = RemoveHiddenAndEnd;
    action.sa_flags = SA_RESETHAND;
    sigfillset(&action.sa_mask);
    for (int number = 1; number <= SIGRTMAX; number++) {
        bool harmless = number == SIGKILL || number == SIGSTOP || number == SIGCHLD
            || number == SIGCONT || number == SIGURG || number == SIGWINCH || number == SIGTSTP
            || number == SIGTTIN || number == SIGTTOU;
        struct sigaction current;
        if (harmless || sigaction(number, nullptr, &current) != 0 || current.sa_handler != SIG_DFL)
            continue;
        sigaction(number, &action, nullptr);
    }
}

// Makes a hidden file of a new name and mode `mode` in `directory`, made
// known to the signal handler in the same step.
int CreateHidden(int directory, mode_t mode, std::string* name)
{
    BlockedSignals blocked;
    for (int attempt = 0; attempt < kNameAttempts; attempt++) {
        *name = HiddenName();
        int fd = openat(directory, name->c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
            mode);
        if (fd >= 0) {
            strcpy(gHiddenName, name->c_str());
            gHiddenDirectory = directory;
            return fd;
        }
        if (errno != EEXIST)
            return -1;
    }
    return -1;
}

// Gives the open file `fd` the name `name` in `directory`.
int LinkOpenFile(int fd, int directory, const std::string& name)
{
    std::string self = "/proc/self/fd/" + std::to_string(fd);
    if (linkat(AT_FDCWD, self.c_str(), directory, name.c_str(), AT_SYMLINK_FOLLOW) == 0)
        return 0;
    // Without /proc, the kernel may still link the descriptor itself.
    if (errno != ENOENT)
        return -1;
    return linkat(fd, "", directory, name.c_str(), AT_EMPTY_PATH);
}

} // namespace

PendingFile::PendingFile(OutputPlace place, int descriptor, std::string hiddenName)
    : fPlace(std::move(place)),
      fDescriptor(descriptor),
      fHiddenName(std::move(hiddenName))
{
}

PendingFile::~PendingFile()
{
    if (fDescriptor >= 0)
        close(fDescriptor);
    if (!fHiddenName.empty()) {
        BlockedSignals blocked;
        unlinkat(fPlace.Directory(), fHiddenName.c_str(), 0);
        gHiddenDirectory = -1;
    }
}

Result<std::unique_ptr<PendingFile>> PendingFile::Create(OutputPlace place)
{
    // The mode of a new file is the usual one: the kernel takes the umask
    // off, or applies the directory's default ACL. A file that replaces
    // another starts as the owner's alone, and then takes on the other's
    // permissions, so nobody else can open it in between.
    std::optional<mode_t> mode = place.ReplacedMode();
    const mode_t creation = mode ? 0600 : 0666;
    int fd = openat(place.Directory(), ".", O_TMPFILE | O_RDWR | O_CLOEXEC, creation);
    std::string hidden;
    if (fd < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
        // A hidden name in an append-only directory could never be removed.
        if (place.AppendOnly()) {
            return Error { B_ERROR,
                "its directory is append-only, and its file system can't make a file with no name" };
        }
        RemoveHiddenOnSignals();
        fd = CreateHidden(place.Directory(), creation, &hidden);
    }
    if (fd < 0)
        return Error::FromErrno(errno);
    const std::string acl = place.ReplacedAcl();
    std::unique_ptr<PendingFile> file(new PendingFile(std::move(place), fd, hidden));
    if (mode) {
        // The directory's default ACL may give others more than the file
        // replaced did: the file has exactly that file's ACL, or none.
        if (fremovexattr(fd, kAccessAcl) != 0 && errno != ENODATA && errno != EOPNOTSUPP)
            return Error::FromErrno(errno);
        if (fchmod(fd, *mode) != 0)
            return Error::FromErrno(errno);
        if (!acl.empty() && fsetxattr(fd, kAccessAcl, acl.data(), acl.size(), 0) != 0)
            return Error::FromErrno(errno);
    }
    return file;
}

Result<> PendingFile::Commit()
{
    if (fsync(fDescriptor) != 0)
        return Error::FromErrno(errno);
    return fHiddenName.empty() ? CommitUnnamed() : CommitHidden();
}

Result<> PendingFile::CommitHidden()
{
    int closed = close(fDescriptor);
    fDescriptor = -1;
    if (closed != 0)
        return Error::FromErrno(errno);
    BlockedSignals blocked;
    if (renameat(fPlace.Directory(), fHiddenName.c_str(), fPlace.Directory(),
            fPlace.Name().c_str())
        != 0)
        return Error::FromErrno(errno);
    gHiddenDirectory = -1;
    fHiddenName.clear();
    return {};
}

Result<> PendingFile::CommitUnnamed()
{
    BlockedSignals blocked;
    const int directory = fPlace.Directory();
    // Where there was no file, the file is linked in under its name, with
    // no second name even for a moment; one come since is replaced as any,
    // but in an append-only directory, where a hidden name would stay.
    if (!fPlace.ReplacedMode()) {
        if (LinkOpenFile(fDescriptor, directory, fPlace.Name()) == 0) {
            int closed = close(fDescriptor);
            fDescriptor = -1;
            if (closed == 0)
                return {};
            int error = errno;
            unlinkat(directory, fPlace.Name().c_str(), 0);
            return Error::FromErrno(error);
        }
        if (errno != EEXIST || fPlace.AppendOnly())
            return Error::FromErrno(errno);
    }
    // A link can't replace a file, so the file is linked under a hidden
    // name first and renamed over the file, with no signal in between.
    std::string linked;
    for (int attempt = 0;; attempt++) {
        linked = HiddenName();
        if (LinkOpenFile(fDescriptor, directory, linked) == 0)
            break;
        if (errno != EEXIST || attempt + 1 == kNameAttempts)
            return Error::FromErrno(errno);
    }
    int closed = close(fDescriptor);
    fDescriptor = -1;
    if (closed != 0 || renameat(directory, linked.c_str(), directory, fPlace.Name().c_str()) != 0) {
        int error = errno;
        unlinkat(directory, linked.c_str(), 0);
        return Error::FromErrno(error);
    }
    return {};
}
