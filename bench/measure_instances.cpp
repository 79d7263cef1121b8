// Starts N instances of a program on the X display in DISPLAY and measures
// what each one costs: its CPU over a stretch of steady state, its memory,
// and how long it took from exec to a mapped window and to its first sound
// buffer. bench/instances runs it for the program and for bench/bare_sdl on
// private servers and compares the two.
//
// The instances start one after another, a fixed time apart, with
// GW_TRACE_START=1 added to the environment (and, with --cycle-env, one of
// several values of a variable, in turn: a sound server only takes so many
// clients). CLOCK_MONOTONIC is read just before each is started. A window
// counts as mapped when the root window reports a MapNotify for a window
// whose _NET_WM_PID is the instance's; the first buffer is the time the
// instance writes in its "trace: first-buffer <ns>" line. Once every instance has both, and a
// settling time has passed, utime + stime of each instance (and of any
// process given with --watch) is read from /proc twice, the given number of
// seconds apart; then PSS and RSS come from smaps_rollup. Last, every
// instance gets SIGTERM and must exit with status 0. With --rounds R the
// instances are started, timed and ended R - 1 times before that, so that
// the start-up times of a few instances come from more than a few starts.
//
// With --no-window the windows aren't watched (on a Wayland compositor they
// aren't on any X display): an instance is ready once it sounds, and no
// time to the window is given.
//
// The results go to stdout as name=value lines; times are medians over all
// starts, CPU and memory are means per instance. Exit status 1 when the
// instances don't all start, sound and quit cleanly.

#include "ChildProcess.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

struct Options {
    int count = 1;
    int staggerMillis = 100;
    int settleMillis = 2000;
    int rounds = 1;
    bool watchWindows = true;
    double seconds = 20.0;
    double startTimeout = 60.0;
    std::string logDirectory = ".";
    std::vector<std::pair<std::string, pid_t>> watched;
    std::vector<std::string> cycledEnvironment;
    std::vector<std::string> argv;
};

struct Instance {
    std::unique_ptr<ChildProcess> process;
    std::string logPath;
    long long execNanos = 0;
    long long mappedNanos = -1;
    long long soundNanos = -1;
};

long long MonotonicNanos()
{
    timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

[[noreturn]] void Usage(const char* problem)
{
    if (problem != nullptr)
        fprintf(stderr, "measure_instances: %s\n", problem);
    fprintf(stderr,
        "usage: measure_instances [options] -- program [arguments]\n"
        "  --count N          instances to start (default 1)\n"
        "  --stagger-ms MS    time between starts (default 100)\n"
        "  --settle-ms MS     wait after the last has started and sounded (default 2000)\n"
        "  --rounds R         start them R times for the start-up times (default 1)\n"
        "  --seconds S        length of the CPU measurement (default 20)\n"
        "  --start-timeout S  limit for all to map and sound (default 60)\n"
        "  --log-dir DIR      where each instance's output goes (default .)\n"
        "  --watch NAME=PID   also measure the CPU of process PID (repeatable)\n"
        "  --cycle-env N=V    instance i gets the (i mod k)th of the k values given\n"
        "  --no-window        don't wait for windows on the X display\n"
        "                     this way (repeatable)\n");
    exit(2);
}

Options ParseOptions(int argc, char** argv)
{
    Options options;
    int i = 1;
    auto value = [&](const char* name) -> std::string {
        if (i + 1 >= argc)
            Usage((std::string(name) + " needs a value").c_str());
        return argv[++i];
    };
    for (; i < argc; i++) {
        std::string arg = argv[i];
        if (arg == "--") {
            i++;
            break;
        }
        if (arg == "--no-window")
            options.watchWindows = false;
        else if (arg == "--count")
            options.count = std::atoi(value("--count").c_str());
        else if (arg == "--stagger-ms")
            options.staggerMillis = std::atoi(value("--stagger-ms").c_str());
        else if (arg == "--settle-ms")
            options.settleMillis = std::atoi(value("--settle-ms").c_str());
        else if (arg == "--rounds")
            options.rounds = std::atoi(value("--rounds").c_str());
        else if (arg == "--seconds")
            options.seconds = std::atof(value("--seconds").c_str());
        else if (arg == "--start-timeout")
            options.startTimeout = std::atof(value("--start-timeout").c_str());
        else if (arg == "--log-dir")
            options.logDirectory = value("--log-dir");
        else if (arg == "--watch") {
            std::string watch = value("--watch");
            size_t equals = watch.find('=');
            if (equals == std::string::npos)
                Usage("--watch needs NAME=PID");
            options.watched.emplace_back(watch.substr(0, equals),
                static_cast<pid_t>(std::atoi(watch.c_str() + equals + 1)));
        } else if (arg == "--cycle-env") {
            std::string variable = value("--cycle-env");
            if (variable.find('=') == std::string::npos)
                Usage("--cycle-env needs NAME=VALUE");
            options.cycledEnvironment.push_back(variable);
        } else
            Usage(("unknown option " + arg).c_str());
    }
    for (; i < argc; i++)
        options.argv.push_back(argv[i]);
    if (options.argv.empty())
        Usage("no program given");
    if (options.count < 1 || options.rounds < 1 || options.staggerMillis < 0 || options.settleMillis < 0
        || options.seconds <= 0 || options.startTimeout <= 0)
        Usage("counts and times must be positive");
    return options;
}

std::string ReadFile(const std::string& path)
{
    std::ifstream file(path);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

// utime + stime of the whole process, in clock ticks; -1 if it is gone.
long long CpuTicks(pid_t pid)
{
    std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
    // The command name may hold spaces; the fields after it don't.
    size_t close = stat.rfind(')');
    if (close == std::string::npos)
        return -1;
    std::istringstream fields(stat.substr(close + 2));
    std::string field;
    long long utime = 0, stime = 0;
    // Fields 3 to 13 come first; utime and stime are fields 14 and 15.
    for (int index = 3; index <= 15 && fields >> field; index++) {
        if (index == 14)
            utime = std::atoll(field.c_str());
        else if (index == 15)
            stime = std::atoll(field.c_str());
    }
    return utime + stime;
}

// A "Name:   value kB" field of a /proc file, or -1.
long ProcField(const std::string& text, const std::string& name)
{
    size_t at = text.find("\n" + name + ":");
    if (at == std::string::npos)
        at = text.rfind(name + ":", 0) == 0 ? 0 : std::string::npos;
    else
        at++;
    if (at == std::string::npos)
        return -1;
    return std::atol(text.c_str() + at + name.size() + 1);
}

// The process id SDL (like most toolkits) puts on a window, or -1.
long WindowPid(Display* display, Window window, Atom pidAtom)
{
    Atom type = 0;
    int format = 0;
    unsigned long items = 0, remaining = 0;
    unsigned char* data = nullptr;
    long pid = -1;
    if (XGetWindowProperty(display, window, pidAtom, 0, 1, False, XA_CARDINAL, &type, &format,
            &items, &remaining, &data)
            == Success
        && data != nullptr) {
        if (format == 32 && items == 1)
            pid = *reinterpret_cast<const long*>(data);
        XFree(data);
    }
    return pid;
}

int IgnoreXErrors(Display*, XErrorEvent*)
{
    // A window may be gone by the time its pid is asked for.
    return 0;
}

// The time in an instance's start-up trace line, or -1 while there is none.
long long TracedFirstBuffer(const std::string& logPath)
{
    std::string log = ReadFile(logPath);
    static const std::string kMarker = "trace: first-buffer ";
    size_t at = log.find(kMarker);
    if (at == std::string::npos || log.find('\n', at) == std::string::npos)
        return -1;
    return std::atoll(log.c_str() + at + kMarker.size());
}

double Median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    size_t middle = values.size() / 2;
    return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

// This process's environment with GW_TRACE_START=1 and `extra`, which
// replaces a variable of the same name.
std::vector<std::string> ChildEnvironment(const std::string& extra)
{
    std::vector<std::string> replaced = { "GW_TRACE_START=" };
    if (!extra.empty())
        replaced.push_back(extra.substr(0, extra.find('=') + 1));
    std::vector<std::string> environment;
    for (char** entry = environ; *entry != nullptr; entry++) {
        bool keep = true;
        for (const std::string& prefix : replaced)
            keep = keep && strncmp(*entry, prefix.c_str(), prefix.size()) != 0;
        if (keep)
            environment.push_back(*entry);
    }
    environment.push_back("GW_TRACE_START=1");
    if (!extra.empty())
        environment.push_back(extra);
    return environment;
}

// The last lines of an instance's output, for a report.
std::string Tail(const std::string& path)
{
    std::string log = ReadFile(path);
    size_t start = log.size() > 600 ? log.size() - 600 : 0;
    return log.substr(start);
}

class Measurement {
public:
    explicit Measurement(Options options)
        : fOptions(std::move(options))
    {
    }

    ~Measurement()
    {
        if (fDisplay != nullptr)
            XCloseDisplay(fDisplay);
    }

    // Starts the instances and waits until every one has mapped its window
    // and filled its first buffer; keeps their start-up times.
    void Start();
    void MeasureSteadyState();
    // Ends every instance; false if one didn't exit with status 0.
    bool Quit();
    // Start()s and Quit()s for every round but the last, then measures.
    bool Run();

private:
    void WatchDisplay();
    void HandleXEvents();
    void CheckSound();
    bool AllReady() const;
    void CheckStillRunning();

    Options fOptions;
    Display* fDisplay = nullptr;
    Atom fPidAtom = 0;
    std::vector<Instance> fInstances;
    int fClean = 0;
    int fEnded = 0;
    std::vector<double> fMapMillis;
    std::vector<double> fSoundMillis;
};

void Measurement::WatchDisplay()
{
    fDisplay = XOpenDisplay(nullptr);
    if (fDisplay == nullptr)
        throw std::runtime_error("couldn't open the display in DISPLAY");
    XSetErrorHandler(IgnoreXErrors);
    fPidAtom = XInternAtom(fDisplay, "_NET_WM_PID", False);
    XSelectInput(fDisplay, DefaultRootWindow(fDisplay), SubstructureNotifyMask);
    XSync(fDisplay, False);
}

void Measurement::Start()
{
    if (fDisplay == nullptr && fOptions.watchWindows)
        WatchDisplay();

    std::string name = fOptions.argv[0].substr(fOptions.argv[0].rfind('/') + 1);
    long long nextStart = MonotonicNanos();
    long long deadline = nextStart + fOptions.count * fOptions.staggerMillis * 1000000LL
        + static_cast<long long>(fOptions.startTimeout * 1e9);
    while (static_cast<int>(fInstances.size()) < fOptions.count || !AllReady()) {
        long long now = MonotonicNanos();
        if (now > deadline) {
            int mapped = 0, sounded = 0;
            for (const Instance& instance : fInstances) {
                mapped += instance.mappedNanos >= 0;
                sounded += instance.soundNanos >= 0;
            }
            throw std::runtime_error("in time, of " + std::to_string(fOptions.count) + " instances "
                + std::to_string(fInstances.size()) + " started, " + std::to_string(mapped)
                + " mapped a window and " + std::to_string(sounded) + " sounded");
        }
        if (static_cast<int>(fInstances.size()) < fOptions.count && now >= nextStart) {
            Instance instance;
            instance.logPath = fOptions.logDirectory + "/" + name + "-"
                + std::to_string(fInstances.size() + 1) + ".log";
            const std::vector<std::string>& cycled = fOptions.cycledEnvironment;
            std::vector<std::string> environment = ChildEnvironment(
                cycled.empty() ? "" : cycled[fInstances.size() % cycled.size()]);
            instance.execNanos = MonotonicNanos();
            if (!fOptions.watchWindows)
                instance.mappedNanos = instance.execNanos;
            instance.process = std::make_unique<ChildProcess>(fOptions.argv, environment,
                instance.logPath);
            fInstances.push_back(std::move(instance));
            nextStart += fOptions.staggerMillis * 1000000LL;
        }
        // Wake for X events at once, for the next start on time, and look
        // at the logs and processes every 20 ms.
        long long wait = 20000000LL;
        if (static_cast<int>(fInstances.size()) < fOptions.count)
            wait = std::min(wait, std::max(0LL, nextStart - MonotonicNanos()));
        if (fDisplay != nullptr) {
            pollfd x = { ConnectionNumber(fDisplay), POLLIN, 0 };
            if (XPending(fDisplay) == 0)
                poll(&x, 1, static_cast<int>((wait + 999999) / 1000000));
            HandleXEvents();
        } else {
            std::this_thread::sleep_for(std::chrono::nanoseconds(wait));
        }
        CheckSound();
        CheckStillRunning();
    }
    for (const Instance& instance : fInstances) {
        fMapMillis.push_back(static_cast<double>(instance.mappedNanos - instance.execNanos) / 1e6);
        fSoundMillis.push_back(
            static_cast<double>(instance.soundNanos - instance.execNanos) / 1e6);
    }
}

void Measurement::HandleXEvents()
{
    // Every waiting event is taken and timed before any round trip to the
    // server, so asking for one window's pid doesn't delay the next event.
    std::vector<std::pair<Window, long long>> mapped;
    while (XPending(fDisplay) > 0) {
        XEvent event;
        XNextEvent(fDisplay, &event);
        if (event.type == MapNotify)
            mapped.emplace_back(event.xmap.window, MonotonicNanos());
    }
    for (auto [window, when] : mapped) {
        long pid = WindowPid(fDisplay, window, fPidAtom);
        for (Instance& instance : fInstances) {
            if (instance.process->Pid() == pid && instance.mappedNanos < 0)
                instance.mappedNanos = when;
        }
    }
}

void Measurement::CheckSound()
{
    for (Instance& instance : fInstances) {
        if (instance.soundNanos < 0)
            instance.soundNanos = TracedFirstBuffer(instance.logPath);
    }
}

bool Measurement::AllReady() const
{
    for (const Instance& instance : fInstances) {
        if (instance.mappedNanos < 0 || instance.soundNanos < 0)
            return false;
    }
    return true;
}

void Measurement::CheckStillRunning()
{
    for (Instance& instance : fInstances) {
        if (!instance.process->IsRunning())
            throw std::runtime_error("instance " + std::to_string(instance.process->Pid())
                + " exited early; it wrote:\n" + Tail(instance.logPath));
    }
}

void Measurement::MeasureSteadyState()
{
    std::this_thread::sleep_for(std::chrono::milliseconds(fOptions.settleMillis));
    CheckStillRunning();

    std::vector<pid_t> pids;
    for (const Instance& instance : fInstances)
        pids.push_back(instance.process->Pid());
    for (const auto& [name, pid] : fOptions.watched)
        pids.push_back(pid);

    std::vector<long long> before;
    for (pid_t pid : pids)
        before.push_back(CpuTicks(pid));
    long long start = MonotonicNanos();
    std::this_thread::sleep_for(std::chrono::duration<double>(fOptions.seconds));
    std::vector<long long> after;
    for (pid_t pid : pids)
        after.push_back(CpuTicks(pid));
    double elapsed = static_cast<double>(MonotonicNanos() - start) / 1e9;
    CheckStillRunning();

    const double ticksPerSecond = static_cast<double>(sysconf(_SC_CLK_TCK));
    auto percent = [&](size_t i) {
        if (before[i] < 0 || after[i] < 0)
            return -1.0;
        return static_cast<double>(after[i] - before[i]) / ticksPerSecond / elapsed * 100.0;
    };

    size_t count = fInstances.size();
    double cpuSum = 0, cpuMax = 0;
    double pss = 0, pssAnon = 0, pssFile = 0, rss = 0, threads = 0;
    for (size_t i = 0; i < count; i++) {
        cpuSum += percent(i);
        cpuMax = std::max(cpuMax, percent(i));
        std::string proc = "/proc/" + std::to_string(pids[i]);
        std::string rollup = ReadFile(proc + "/smaps_rollup");
        pss += ProcField(rollup, "Pss");
        pssAnon += ProcField(rollup, "Pss_Anon");
        pssFile += ProcField(rollup, "Pss_File");
        rss += ProcField(rollup, "Rss");
        threads += ProcField(ReadFile(proc + "/status"), "Threads");
    }
    printf("instances=%zu\n", count);
    printf("seconds=%.1f\n", elapsed);
    printf("cpu_pct=%.3f\n", cpuSum / count);
    printf("cpu_pct_max=%.3f\n", cpuMax);
    printf("pss_kb=%.0f\n", pss / count);
    printf("pss_anon_kb=%.0f\n", pssAnon / count);
    printf("pss_file_kb=%.0f\n", pssFile / count);
    printf("rss_kb=%.0f\n", rss / count);
    printf("threads=%.1f\n", threads / count);
    printf("starts=%zu\n", fMapMillis.size());
    printf("map_ms=%.1f\n", Median(fMapMillis));
    printf("sound_ms=%.1f\n", Median(fSoundMillis));
    for (size_t i = 0; i < fOptions.watched.size(); i++)
        printf("%s_cpu_pct=%.3f\n", fOptions.watched[i].first.c_str(), percent(count + i));
    fflush(stdout);
}

bool Measurement::Quit()
{
    // All at once, then each is waited for (and killed if it won't go).
    for (Instance& instance : fInstances) {
        if (instance.process->IsRunning())
            kill(instance.process->Pid(), SIGTERM);
    }
    bool allClean = true;
    for (Instance& instance : fInstances) {
        instance.process->WaitForExit(std::chrono::seconds(10));
        instance.process->Stop(SIGKILL, std::chrono::seconds(1));
        fEnded++;
        if (instance.process->ExitCode() == 0) {
            fClean++;
        } else {
            allClean = false;
            fprintf(stderr, "measure_instances: instance %d didn't exit cleanly on SIGTERM; "
                            "it wrote:\n%s\n",
                instance.process->Pid(), Tail(instance.logPath).c_str());
        }
    }
    fInstances.clear();
    return allClean;
}

bool Measurement::Run()
{
    for (int round = 1; round < fOptions.rounds; round++) {
        Start();
        if (!Quit())
            return false;
    }
    Start();
    MeasureSteadyState();
    bool clean = Quit();
    printf("exited_cleanly=%d of %d\n", fClean, fEnded);
    return clean;
}

} // namespace

int main(int argc, char** argv)
{
    Measurement measurement(ParseOptions(argc, argv));
    try {
        return measurement.Run() ? 0 : 1;
    } catch (const std::exception& error) {
        fprintf(stderr, "measure_instances: %s\n", error.what());
        measurement.Quit();
        return 1;
    }
}
