// gondavel_wubbix-render: writes what a number of instances started
// together would play to a sound file, far faster than real time. Each
// voice is an instance's voice played offline by the program's own sound
// code, on threads shared among the voices (see VoiceMixer); the same
// options and seed always make the same sound. Usage errors are one line on
// stderr and exit 2 before any work.

#include "Clock.h"
#include "ProgramInfo.h"
#include "RenderFile.h"
#include "Report.h"
#include "StandardDescriptors.h"
#include "StopSignals.h"
#include "TakeOptions.h"
#include "TakeWriter.h"
#include "VoiceMixer.h"

#include <signal.h>

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

constexpr double kMaxInstances = 64;
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
      --gain DB        a fixed gain for the mix in decibels, -100 to 100
                       (default: the gain that puts the take's peak at
                       -1 dBFS, found by playing the take twice)
  -h, --help           print this help and exit
      --version        print the version and exit

Numbers are written in decimal: N and SEED in digits alone, S and DB with a
fraction if need be (2.5, -14). The seed goes to stderr, then the gain
used, and on a terminal the progress too. With a fixed gain, a line says
how many samples went past full scale, if any did: a FLAC file clips them,
and most players clip them in the others.

Exit status: 0 when the file is written; 1 when rendering or writing fails;
2 for a usage error, a FILE that can't be written or replaced included;
128 plus the signal's number when interrupted, 130 for Ctrl+C. Unless the
status is 0, nothing is written and an older FILE is left as it was.
)";

struct Options {
    std::string output;
    int instances = 1;
    std::optional<unsigned> seed;
    TakeOptions take;
};

// The options; B_BAD_VALUE, with the one line that says what is wrong with
// them.
Result<Options> ParseOptions(int argc, char** argv)
{
    auto wrong = [](const std::string& reason) { return Error { B_BAD_VALUE, reason }; };
    Options options;
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
                return wrong("unknown option '" + name + "'");
            return wrong("unexpected argument '" + argument + "' (the file to write goes after -o)");
        }
        if (!value) {
            if (i + 1 >= argc)
                return wrong("option '" + name + "' needs a value");
            value = argv[++i];
        }

        Result<> taken;
        if (name == "-o" || name == "--output") {
            if (value->empty())
                return wrong("option '" + name + "' needs a file name");
            options.output = *value;
            haveOutput = true;
        } else if (name == "--instances") {
            Result<double> number = ParseNumber(name, *value, 1, kMaxInstances, true);
            if (!number)
                return number.error();
            options.instances = static_cast<int>(*number);
        } else if (name == "--seconds") {
            taken = options.take.SetSeconds(name, *value);
        } else if (name == "--seed") {
            Result<double> number = ParseNumber(name, *value, 0, kMaxSeed, true);
            if (!number)
                return number.error();
            options.seed = static_cast<unsigned>(*number);
        } else {
            taken = options.take.SetGain(name, *value);
        }
        if (!taken)
            return taken.error();
    }
    if (!haveOutput)
        return wrong("no file to write: name one with -o FILE");
    return options;
}

// Renders the take into `file`. Returns the exit status: an interruption
// is 128 plus the signal's number.
int RenderTake(const Options& options, unsigned seed, RenderFile& file, const StopSignals& stops)
{
    auto makeVoices = [&] {
        TakeWriter::Voices voices;
        for (int voice = 0; voice < options.instances; voice++)
            voices.push_back(std::make_unique<OfflineVoice>(VoiceMixer::VoiceSeed(seed, voice)));
        return voices;
    };
    return TakeWriter(file, stops).Write(makeVoices, options.take.frames, options.take.gain);
}

// RenderTake(), or a line that says memory ran out, once the voices' threads
// are stopped.
int Render(const Options& options, unsigned seed, RenderFile& file, const StopSignals& stops)
{
    try {
        return RenderTake(options, seed, file, stops);
    } catch (const std::bad_alloc&) {
        stops.Say(ReportedLine("couldn't render: out of memory"));
        return EXIT_FAILED;
    }
}

} // namespace

int main(int argc, char** argv)
{
    SetProgramName(kTool);
    if (Result<> opened = OpenStandardDescriptors(); !opened) {
        ReportFailure("open /dev/null", opened.error());
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

    Result<Options> options = ParseOptions(argc, argv);
    if (!options) {
        ReportLine(options.reason());
        return EXIT_USAGE;
    }
    auto file = RenderFile::Create(options->output, options->take.frames);
    if (!file) {
        ReportLine(file.reason());
        return EXIT_USAGE;
    }

    // Ctrl+C and the like are taken as messages, so the render can stop
    // between two chunks and leave nothing behind. The voices' threads
    // start later and hold them back too.
    auto stops = StopSignals::Watch();
    if (!stops) {
        ReportFailure("watch for signals", stops.error());
        return EXIT_FAILED;
    }

    unsigned seed = options->seed.value_or(static_cast<unsigned>(system_time()));
    (*stops)->Say(ReportedLine("seed " + std::to_string(seed)));
    return Render(*options, seed, **file, **stops);
}
