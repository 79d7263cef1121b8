#include "ProcessLauncher.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>

namespace {

// A descriptor numbered 3 or higher, so that the child can set up 0 to 2
// without overwriting it.
int AboveStandard(int fd)
{
    if (fd < 0 || fd > STDERR_FILENO)
        return fd;
    int moved = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    close(fd);
    return moved;
}

// Runs in the grandchild, between fork and exec: async-signal-safe calls only.
[[noreturn]] void ExecGrandchild(const char* path, char* const* argv, char* const* envp,
    int devNull, int reportFd)
{
    dup2(devNull, STDIN_FILENO);
    // A launcher started without stdout or stderr must not hand the program
    // free slots there: the first file it opens would take them, and its
    // output would land in that file.
    for (int fd : { STDOUT_FILENO, STDERR_FILENO }) {
        if (fcntl(fd, F_GETFD) < 0)
            dup2(devNull, fd);
    }
    // The report pipe goes to 3 (close-on-exec) and everything above it is
    // closed, so the program inherits nothing but 0 to 2.
    if (reportFd != 3) {
        dup3(reportFd, 3, O_CLOEXEC);
        reportFd = 3;
    }
    if (close_range(4, UINT_MAX, 0) != 0) {
        for (int fd = 4; fd < 65536; ++fd)
            close(fd);
    }
    execve(path, argv, envp);
    int error = errno;
    ssize_t ignored = write(reportFd, &error, sizeof(error));
    (void)ignored;
    _exit(127);
}

// Runs in the intermediate child: async-signal-safe calls only.
[[noreturn]] void RunIntermediate(const char* path, char* const* argv, char* const* envp,
    int devNull, int reportFd)
{
    setsid();
    struct sigaction defaults = {};
    defaults.sa_handler = SIG_DFL;
    for (int signal = 1; signal < NSIG; ++signal)
        sigaction(signal, &defaults, nullptr); // fails harmlessly for KILL, STOP and the like
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);

    pid_t pid = fork();
    if (pid == 0)
        ExecGrandchild(path, argv, envp, devNull, reportFd);
    if (pid < 0) {
        int error = errno;
        ssize_t ignored = write(reportFd, &error, sizeof(error));
        (void)ignored;
    }
    _exit(0);
}

} // namespace

Result<> ProcessLauncher::Start(const std::string& path,
    const std::vector<std::string>& environment)
{
    // Everything the children need is built before forking.
    std::vector<char*> argv { const_cast<char*>(path.c_str()), nullptr };
    std::vector<char*> envp;
    envp.reserve(environment.size() + 1);
    for (const std::string& variable : environment)
        envp.push_back(const_cast<char*>(variable.c_str()));
    envp.push_back(nullptr);

    int devNull = AboveStandard(open("/dev/null", O_RDWR | O_CLOEXEC));
    if (devNull < 0)
        return Error::FromErrno(errno, "/dev/null: ", B_LAUNCH_FAILED);
    // The grandchild writes errno here if exec fails; a successful exec
    // closes the pipe, and the read below sees end of file.
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) {
        Error error = Error::FromErrno(errno, "no pipe: ", B_LAUNCH_FAILED);
        close(devNull);
        return error;
    }
    report[0] = AboveStandard(report[0]);
    report[1] = AboveStandard(report[1]);
    if (report[0] < 0 || report[1] < 0) {
        Error error = Error::FromErrno(errno, "no pipe: ", B_LAUNCH_FAILED);
        close(devNull);
        if (report[0] >= 0)
            close(report[0]);
        if (report[1] >= 0)
            close(report[1]);
        return error;
    }

    pid_t child = fork();
    if (child == 0)
        RunIntermediate(path.c_str(), argv.data(), envp.data(), devNull, report[1]);
    int forkError = errno;
    close(devNull);
    close(report[1]);
    if (child < 0) {
        close(report[0]);
        return Error::FromErrno(forkError, "no process: ", B_LAUNCH_FAILED);
    }
    // The intermediate child exits at once; reaping it leaves no zombie, and
    // the program itself is nobody's child here.
    while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
    }

    int error = 0;
    ssize_t size;
    while ((size = read(report[0], &error, sizeof(error))) < 0 && errno == EINTR) {
    }
    close(report[0]);
    if (size == 0)
        return {};
    if (size != sizeof(error))
        return Error { B_LAUNCH_FAILED, path + " may not have started" };
    return Error::FromErrno(error, path + ": ", B_LAUNCH_FAILED);
}
