// Plays the drone from a fixed parameter block through the sound server,
// with nothing drifting, until SIGINT or SIGTERM arrives or for a given
// number of seconds. Handy for listening to one setting of the voice.
//
// SIGINT and SIGTERM are blocked before the engine starts, so the player's
// threads inherit the mask and the main thread takes both with sigwait.

#include "AudioSubs.h"
#include "ParameterBlock.h"

#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <pthread.h>
#include <string>

namespace {

constexpr double kFrameRate = EngineFormat().frame_rate;
constexpr double kMaxFrequency = 22050.0;
constexpr double kMaxSeconds = 1e7;

struct Options {
    uint32 waveform = WAVE_SINE;
    double frequency = 439.9;
    double feedback = 0.5;
    long delay = 11025;
    double seconds = 0.0; // 0: until a signal
};

void PrintUsage()
{
    printf("usage: play_fixed [options]\n"
           "Plays the drone with fixed parameters until Ctrl-C, SIGTERM or --seconds.\n"
           "  --wave sine|ramp   waveform (default sine)\n"
           "  --frequency F      0 ... %g; a sine sounds at F + 0.1 Hz, a ramp steps\n"
           "                     trunc(F) per frame (default 439.9)\n"
           "  --feedback F       delay feedback, 0 ... 1 (default 0.5)\n"
           "  --delay N          delay length in frames, 0 ... %d (default 11025)\n"
           "  --seconds N        stop after N seconds, N > 0 (default: play until stopped)\n"
           "  --help             show this and exit\n",
        kMaxFrequency, static_cast<int>(MAX_DELAY_LENGTH));
}

[[noreturn]] void Fail(const std::string& what)
{
    fprintf(stderr, "play_fixed: %s\n", what.c_str());
    exit(2);
}

double ParseNumber(const std::string& option, const char* text, double low, double high)
{
    errno = 0;
    char* end = nullptr;
    double value = strtod(text, &end);
    if (end == text || *end != '\0' || errno == ERANGE || !std::isfinite(value))
        Fail(option + " needs a number, not '" + text + "'");
    if (value < low || value > high) {
        char range[64];
        snprintf(range, sizeof range, "between %g and %g", low, high);
        Fail(option + " must be " + range + ", not '" + text + "'");
    }
    return value;
}

long ParseInteger(const std::string& option, const char* text, long low, long high)
{
    errno = 0;
    char* end = nullptr;
    long value = strtol(text, &end, 10);
    if (end == text || *end != '\0' || errno == ERANGE)
        Fail(option + " needs a whole number, not '" + text + "'");
    if (value < low || value > high)
        Fail(option + " must be between " + std::to_string(low) + " and " + std::to_string(high)
            + ", not '" + text + "'");
    return value;
}

Options ParseOptions(int argc, char** argv)
{
    Options options;
    for (int i = 1; i < argc; i++) {
        std::string option = argv[i];
        if (option == "--help" || option == "-h") {
            PrintUsage();
            exit(0);
        }
        // Both "--name value" and "--name=value" are accepted.
        const char* value = nullptr;
        size_t equals = option.find('=');
        if (option.rfind("--", 0) == 0 && equals != std::string::npos) {
            value = argv[i] + equals + 1;
            option.erase(equals);
        }
        if (option != "--wave" && option != "--frequency" && option != "--feedback"
            && option != "--delay" && option != "--seconds")
            Fail("unknown option '" + option + "' (see --help)");
        if (value == nullptr) {
            if (i + 1 >= argc)
                Fail(option + " needs a value");
            value = argv[++i];
        }

        if (option == "--wave") {
            if (strcmp(value, "sine") == 0)
                options.waveform = WAVE_SINE;
            else if (strcmp(value, "ramp") == 0)
                options.waveform = WAVE_RAMP;
            else
                Fail(std::string("--wave must be sine or ramp, not '") + value + "'");
        } else if (option == "--frequency") {
            options.frequency = ParseNumber(option, value, 0.0, kMaxFrequency);
        } else if (option == "--feedback") {
            options.feedback = ParseNumber(option, value, 0.0, 1.0);
        } else if (option == "--delay") {
            options.delay = ParseInteger(option, value, 0, MAX_DELAY_LENGTH);
        } else {
            options.seconds = ParseNumber(option, value, 0.0, kMaxSeconds);
            if (options.seconds == 0.0)
                Fail(std::string("--seconds must be above 0, not '") + value + "'");
        }
    }
    return options;
}

void Describe(const Options& options)
{
    if (options.waveform == WAVE_SINE) {
        printf("play_fixed: playing a sine at %g Hz", options.frequency + 0.1);
    } else {
        double step = std::trunc(options.frequency);
        printf("play_fixed: playing a ramp stepping %g per frame (%.1f Hz)", step,
            step * kFrameRate / 65536.0);
    }
    printf(", feedback %g, delay %ld frames (%.0f ms), ", options.feedback, options.delay,
        static_cast<double>(options.delay) * 1000.0 / kFrameRate);
    if (options.seconds > 0.0)
        printf("for %g s\n", options.seconds);
    else
        printf("until Ctrl-C\n");
    fflush(stdout);
}

// Waits for one of `signals`, for at most `seconds` if that is above 0.
// Returns the signal taken, or 0 once the time is up.
int WaitForSignal(const sigset_t& signals, double seconds)
{
    if (seconds <= 0.0) {
        int signal = 0;
        return sigwait(&signals, &signal) == 0 ? signal : 0;
    }

    // An absolute deadline keeps the total right if the wait is interrupted.
    timespec deadline {};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    double whole = std::floor(seconds);
    deadline.tv_sec += static_cast<time_t>(whole);
    deadline.tv_nsec += static_cast<long>((seconds - whole) * 1e9);
    if (deadline.tv_nsec >= 1000000000) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000;
    }
    for (;;) {
        timespec now {};
        clock_gettime(CLOCK_MONOTONIC, &now);
        timespec left { deadline.tv_sec - now.tv_sec, deadline.tv_nsec - now.tv_nsec };
        if (left.tv_nsec < 0) {
            left.tv_sec -= 1;
            left.tv_nsec += 1000000000;
        }
        if (left.tv_sec < 0)
            return 0;
        int signal = sigtimedwait(&signals, nullptr, &left);
        if (signal > 0)
            return signal;
        // EAGAIN is the timeout; only an interruption calls for another wait.
        if (errno != EINTR)
            return 0;
    }
}

} // namespace

int main(int argc, char** argv)
{
    Options options = ParseOptions(argc, argv);

    // The block is complete before the engine starts, so the first buffer
    // already plays it. Constructing the engine centres the pan.
    globalWubbix.waveform = options.waveform;
    globalWubbix.frequency = static_cast<float>(options.frequency);
    globalWubbix.feedback = static_cast<float>(options.feedback);
    globalWubbix.delayLength = static_cast<int32>(options.delay);

    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    Describe(options);
    AudioSubs engine;
    int signal = WaitForSignal(signals, options.seconds);
    engine.CleanUp();

    if (signal != 0)
        printf("play_fixed: stopped by %s\n", signal == SIGINT ? "SIGINT" : "SIGTERM");
    else
        printf("play_fixed: stopped after %g s\n", options.seconds);
    return 0;
}
