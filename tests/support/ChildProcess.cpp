#include "ChildProcess.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <thread>

namespace {

std::string FindInPath(const std::string& program)
{
    if (program.find('/') != std::string::npos)
        return program;
    const char* path = getenv("PATH");
    std::string dirs = path != nullptr && *path != '\0' ? path : "/usr/bin:/bin";
    size_t start = 0;
    while (start <= dirs.size()) {
        size_t end = dirs.find(':', start);
        if (end == std::string::npos)
            end = dirs.size();
        std::string candidate = dirs.substr(start, end - start) + "/" + program;
        if (access(candidate.c_str(), X_OK) == 0)
            return candidate;
        start = end + 1;
    }
    throw std::runtime_error(program + " is not in PATH");
}

std::vector<char*> CStrings(const std::vector<std::string>& strings)
{
    std::vector<char*> result;
    for (const std::string& s : strings)
        result.push_back(const_cast<char*>(s.c_str()));
    result.push_back(nullptr);
    return result;
}

} // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& argv,
    const std::vector<std::string>& environment, const std::string& outputPath)
{
    const char* path = outputPath.empty() ? "/dev/null" : outputPath.c_str();
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        throw std::runtime_error(std::string("open ") + path + ": " + strerror(errno));
    try {
        Start(argv, environment, fd);
    } catch (...) {
        close(fd);
        throw;
    }
    close(fd);
}

ChildProcess::ChildProcess(const std::vector<std::string>& argv,
    const std::vector<std::string>& environment, int outputFd)
{
    Start(argv, environment, outputFd);
}

ChildProcess::~ChildProcess()
{
    Stop();
}

void ChildProcess::Start(const std::vector<std::string>& argv,
    const std::vector<std::string>& environment, int outputFd)
{
    if (argv.empty())
        throw std::invalid_argument("ChildProcess: empty argv");
    // Everything the child needs is prepared here: between fork and exec a
    // multithreaded parent may only make async-signal-safe calls.
    std::string program = FindInPath(argv[0]);
    std::vector<char*> args = CStrings(argv);
    std::vector<char*> env = CStrings(environment);
    int devNull = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (devNull < 0)
        throw std::runtime_error(std::string("open /dev/null: ") + strerror(errno));
    pid_t parent = getpid();

    pid_t pid = fork();
    if (pid < 0) {
        close(devNull);
        throw std::runtime_error(std::string("fork: ") + strerror(errno));
    }
    if (pid == 0) {
        setpgid(0, 0);
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent)
            _exit(127);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        dup2(devNull, STDIN_FILENO);
        dup2(outputFd, STDOUT_FILENO);
        dup2(outputFd, STDERR_FILENO);
        // Descriptors the test process itself inherited (from ctest, say)
        // would otherwise show up in the child's descriptor counts.
        close_range(3, ~0U, 0);
        execve(program.c_str(), args.data(), env.data());
        _exit(127);
    }
    // Set from both sides so that the group exists before either goes on.
    setpgid(pid, pid);
    close(devNull);
    fPid = pid;
}

bool ChildProcess::IsRunning()
{
    if (fReaped)
        return false;
    int status = 0;
    pid_t r = waitpid(fPid, &status, WNOHANG);
    if (r == fPid || (r < 0 && errno == ECHILD)) {
        fReaped = true;
        fStatus = status;
    }
    return !fReaped;
}

bool ChildProcess::WaitForExit(std::chrono::milliseconds timeout)
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (IsRunning()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

int ChildProcess::ExitCode() const
{
    return fReaped && WIFEXITED(fStatus) ? WEXITSTATUS(fStatus) : -1;
}

void ChildProcess::Stop(int signal, std::chrono::milliseconds grace)
{
    if (fPid <= 0 || fStopped)
        return;
    fStopped = true;
    if (IsRunning()) {
        kill(-fPid, signal);
        WaitForExit(grace);
    }
    // Also takes down anything the program started and left in its group.
    kill(-fPid, SIGKILL);
    WaitForExit(std::chrono::seconds(5));
}

ChildProcess::Result ChildProcess::Run(const std::vector<std::string>& argv,
    const std::vector<std::string>& environment, std::chrono::milliseconds timeout)
{
    // An anonymous file rather than a pipe: the child never blocks on a full
    // pipe, and reading it needs no second thread.
    int fd = memfd_create("child-output", MFD_CLOEXEC);
    if (fd < 0)
        throw std::runtime_error(std::string("memfd_create: ") + strerror(errno));

    Result result;
    try {
        ChildProcess child(argv, environment, fd);
        result.exited = child.WaitForExit(timeout);
        child.Stop(SIGKILL);
        result.exitCode = result.exited ? child.ExitCode() : -1;
    } catch (...) {
        close(fd);
        throw;
    }

    char buffer[4096];
    ssize_t n;
    off_t offset = 0;
    while ((n = pread(fd, buffer, sizeof(buffer), offset)) > 0) {
        result.output.append(buffer, static_cast<size_t>(n));
        offset += n;
    }
    close(fd);
    return result;
}
