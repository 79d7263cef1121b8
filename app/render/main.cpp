// gondavel_wubbix-render: writes what a number of instances started
// together would play to a sound file, far faster than real time. Each
// voice is an instance's voice played offline by the program's own sound
// code, on threads shared among the voices (see VoiceMixer); the same
// options and seed always make the same sound. Usage errors are one line on stderr and exit 2 before any work.

#include "Clock.h"
#include "ProgramInfo.h"
#include "Report.h"
#include "RenderFile.h"
#include "StandardDescriptors.h"
#include "StopSignals.h"
#include "VoiceMixer.h"

#include <sched.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <vector>

namespace {

constexpr const char kTool[] = "gondavel_wubbix-render";

enum ExitCode {
    EXIT_OK = 0,
    EXIT_FAILED = 1,
    EXIT_USAGE = 2,
};

constexpr double kFrameRate = 44100;
constexpr double kMaxInstances = 64;
constexpr double kMaxSeconds = 24 * 60 * 60;
constexpr double kMaxGain = 100;
constexpr double kMaxSeed = 4294967295.0;

constexpr const char kUsage[] = R"(Usage: gondavel_wubbix-render [OPTION]... -o FILE
Writes what instances of gondavel_wubbix started together would play, mixed,
to a sound file, far faster than real time. The same options and seed always
make the same sound.

  -o, --output FILE    the file to write; the end of its name gives its type:
                       .wav (32-bit float), .flac (24-bit) or .ogg (Vorbis)
      --instances N    how many instances play, 1 to 64 (default 1)
      --seconds S      how long they play, up to 86400 (default 60)
      --seed SEED      the take's seed, 0 to 4294967295 (default: from the
                       clock); instance I plays what the one instance of seed
                       SEED + I plays, except that 1 is skipped after 0 (the
                       seeds 0 and 1 give the same voice)
      --gain DB        the mix's gain in decibels, -100 to 100 (default 0)
  -h, --help           print this help and exit
      --version        print the version and exit

Numbers are written in decimal: N and SEED in digits alone, S and DB with a
fraction if need be (2.5, -14). The seed goes to stderr, and on a terminal
the progress too. Samples past full scale are clipped in a FLAC file, and
one line says how many.

Exit status: 0 when the file is written; 1 when rendering or writing fails;
2 for a usage error, a FILE that can't be written or replaced included;
128 plus the signal's number when interrupted, 130 for Ctrl+C. Unless the
status is 0, nothing is written and an older FILE is left as it was.
)";

struct Options {
    std::string output;
    int instances = 1;
    int64 frames = 60 * static_cast<int64>(kFrameRate);
    std::optional<unsigned> seed;
    double gain = 0;
};

// A line of the renderer's for stderr.
std::string Line(const std::string& what)
{
    return std::string(kTool) + ": " + Printable(what) + "\n";
}

// Says what is wrong, before the render has started.
void Complain(const std::string& what)
{
    fputs(Line(what).c_str(), stderr);
}

// How many decimal digits `text` has from `at` (at most its size) on.
size_t DigitsAt(const std::string& text, size_t at)
{
    return std::min(text.find_first_not_of("0123456789", at), text.size()) - at;
}

// `text` as a number within [low, high], or the reason it isn't one. Only
// plain decimal notation is a number: an optional sign, digits and, unless
// `whole`, a fraction; a whole number is digits alone.
std::optional<std::string> ParseNumber(const std::string& option, const std::string& text,
    double low, double high, bool whole, double* value)
{
    const std::string quoted = "'" + text + "'";
    size_t sign = text.starts_with('-') || text.starts_with('+') ? 1 : 0;
    size_t integer = DigitsAt(text, sign);
    bool point = text.size() > sign + integer && text[sign + integer] == '.';
    size_t fraction = point ? DigitsAt(text, sign + integer + 1) : 0;
    if (integer + fraction == 0 || sign + integer + point + fraction != text.size())
        return option + " needs a number, not " + quoted;
    if (text[0] == '-' && low >= 0)
        return option + " can't be negative: " + quoted;
    if (whole && (sign > 0 || point))
        return option + " needs a whole number, not " + quoted;
    double number = strtod(text.c_str(), nullptr);
    if (number < low || number > high) {
        char range[64];
        snprintf(range, sizeof range, "from %.15g to %.15g", low, high);
        return option + " must be " + range + ", not " + quoted;
    }
    *value = number;
    return std::nullopt;
}

// The options, or the one line that says what is wrong with them.
std::optional<std::string> ParseOptions(int argc, char** argv, Options* options)
{
    bool haveOutput = false;
    for (int i = 1; i < argc; i++) {
        std::string argument = argv[i];
        std::string name = argument;
        std::optional<std::string> value;
        if (size_t equals = argument.find('='); argument.starts_with("--")
            && equals != std::string::npos) {
            name = argument.substr(0, equals);
            value = argument.substr(equals + 1);
        }
        bool known = name == "-o" || name == "--output" || name == "--instances"
            || name == "--seconds" || name == "--seed" || name == "--gain";
        if (!known) {
            if (name.starts_with("-") && name != "-")
                return "unknown option '" + name + "'";
            return "unexpected argument '" + argument + "' (the file to write goes after -o)";
        }
        if (!value) {
            if (i + 1 >= argc)
                return "option '" + name + "' needs a value";
            value = argv[++i];
        }

        double number = 0;
        std::optional<std::string> wrong;
        if (name == "-o" || name == "--output") {
            if (value->empty())
                return "option '" + name + "' needs a file name";
            options->output = *value;
            haveOutput = true;
        } else if (name == "--instances") {
            wrong = ParseNumber(name, *value, 1, kMaxInstances, true, &number);
            options->instances = static_cast<int>(number);
        } else if (name == "--seconds") {
            wrong = ParseNumber(name, *value, 0, kMaxSeconds, false, &number);
            options->frames = std::llround(number * kFrameRate);
            if (!wrong && options->frames == 0)
                wrong = name + " is too short to hold a single frame: '" + *value + "'";
        } else if (name == "--seed") {
            wrong = ParseNumber(name, *value, 0, kMaxSeed, true, &number);
            options->seed = static_cast<unsigned>(number);
        } else {
            wrong = ParseNumber(name, *value, -kMaxGain, kMaxGain, false, &number);
            options->gain = number;
        }
        if (wrong)
            return wrong;
    }
    if (!haveOutput)
        return "no file to write: name one with -o FILE";
    return std::nullopt;
}

int ProcessorCount()
{
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) != 0)
        return 1;
    return std::max(1, CPU_COUNT(&set));
}

std::string Duration(bigtime_t microseconds)
{
    long long seconds = microseconds / 1000000;
    char text[32];
    if (seconds >= 3600)
        snprintf(text, sizeof text, "%lld:%02lld:%02lld", seconds / 3600, seconds / 60 % 60, seconds % 60);
    else
        snprintf(text, sizeof text, "%lld:%02lld", seconds / 60, seconds % 60);
    return text;
}

// A line on a terminal's stderr saying how far the render has come,
// redrawn a few times a second; nothing when stderr is no terminal.
class Progress {
public:
    Progress(int64 total, const StopSignals& stops)
        : fTotal(total),
          fShown(isatty(STDERR_FILENO) == 1),
          fStops(stops)
    {
    }

    void Update(int64 done)
    {
        bigtime_t now = system_time();
        if (!fShown || now - fLastUpdate < 250000)
            return;
        fLastUpdate = now;
        bigtime_t elapsed = now - fStart;
        // In floating point: a day's take after an hour would overflow.
        double part = done > 0 ? static_cast<double>(fTotal - done) / done : 0;
        auto left = static_cast<bigtime_t>(elapsed * part);
        char line[128];
        snprintf(line, sizeof line, "\r%s: %3d%%, %s elapsed, %s left\033[K", kTool,
            static_cast<int>(done * 100 / fTotal), Duration(elapsed).c_str(), Duration(left).c_str());
        fStops.Say(line);
    }

    void Clear()
    {
        if (fShown && fLastUpdate > 0)
            fStops.Say("\r\033[K");
    }

private:
    int64 fTotal;
    bool fShown;
    const StopSignals& fStops;
    bigtime_t fStart = system_time();
    bigtime_t fLastUpdate = 0;
};

// Renders the take into `file`. Returns the exit status: an interruption
// is 128 plus the signal's number.
int RenderTake(const Options& options, unsigned seed, RenderFile& file, const StopSignals& stops)
{
    const int64 frames = options.frames;
    std::vector<std::unique_ptr<OfflineVoice>> voices;
    for (int voice = 0; voice < options.instances; voice++)
        voices.push_back(std::make_unique<OfflineVoice>(VoiceMixer::VoiceSeed(seed, voice)));
    auto mixer = VoiceMixer::Start(std::move(voices), frames, ProcessorCount(), stops.Descriptor());
    if (!mixer) {
        stops.Say(Line("couldn't start the voices: " + mixer.reason()));
        return EXIT_FAILED;
    }

    const auto gain = static_cast<float>(std::pow(10.0, options.gain / 20));
    std::vector<float> mix(VoiceMixer::kChunkFrames * 2);
    Progress progress(frames, stops);
    Result<> done;
    for (int64 mixed = 0; done;) {
        Result<int64> count = (*mixer)->Next(mix.data());
        if (!count) {
            done = count.error();
            break;
        }
        if (*count == 0)
            break;
        if (gain != 1.0f) {
            for (int64 i = 0; i < 2 * *count; i++)
                mix[i] *= gain;
        }
        done = file.Write(mix.data(), *count);
        mixed += *count;
        progress.Update(mixed);
    }
    mixer->reset();
    if (done)
        done = file.Commit();
    progress.Clear();

    if (done.code() == B_INTERRUPTED)
        return 128 + stops.Received();
    if (!done) {
        stops.Say(Line(done.reason()));
        return EXIT_FAILED;
    }
    if (file.ClippedSamples() > 0) {
        // The gain that would have kept the loudest sample in, rounded down
        // to a tenth of a decibel.
        double over = 20 * std::log10(static_cast<double>(file.ClippedPeak()));
        double fits = options.gain - std::ceil(over * 10) / 10;
        char line[128];
        snprintf(line, sizeof line, "%lld samples went past full scale and were clipped; --gain %.1f "
                                    "keeps them in",
            static_cast<long long>(file.ClippedSamples()), fits);
        stops.Say(Line(line));
    }
    return EXIT_OK;
}

// RenderTake(), or a line that says memory ran out, once the voices' threads
// are stopped.
int Render(const Options& options, unsigned seed, RenderFile& file, const StopSignals& stops)
{
    try {
        return RenderTake(options, seed, file, stops);
    } catch (const std::bad_alloc&) {
        stops.Say(Line("couldn't render: out of memory"));
        return EXIT_FAILED;
    }
}

} // namespace

int main(int argc, char** argv)
{
    if (Result<> opened = OpenStandardDescriptors(); !opened) {
        Complain("couldn't open /dev/null: " + opened.reason());
        return EXIT_FAILED;
    }
    // A reader gone from stderr is no reason to stop, and a file grown past
    // the size limit is a write that fails.
    signal(SIGPIPE, SIG_IGN);
    signal(SIGXFSZ, SIG_IGN);

    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0) {
            fputs(kUsage, stdout);
            return EXIT_OK;
        }
        if (strcmp(argv[i], "--version") == 0) {
            printf("%s %s\n", kTool, kProgramVersion);
            return EXIT_OK;
        }
    }

    Options options;
    if (std::optional<std::string> wrong = ParseOptions(argc, argv, &options)) {
        Complain(*wrong);
        return EXIT_USAGE;
    }
    auto file = RenderFile::Create(options.output, options.frames);
    if (!file) {
        Complain(file.reason());
        return EXIT_USAGE;
    }

    // Ctrl+C and the like are taken as messages, so the render can stop
    // between two chunks and leave nothing behind. The voices' threads
    // start later and hold them back too.
    auto stops = StopSignals::Watch();
    if (!stops) {
        Complain("couldn't watch for signals: " + stops.reason());
        return EXIT_FAILED;
    }

    unsigned seed = options.seed.value_or(static_cast<unsigned>(system_time()));
    (*stops)->Say(Line("seed " + std::to_string(seed)));
    return Render(options, seed, **file, **stops);
}
