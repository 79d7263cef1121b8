#include "Record.h"

#include "MessageCodes.h"
#include "RenderFile.h"
#include "Report.h"
#include "StateRequests.h"
#include "StopSignals.h"
#include "TakeOptions.h"
#include "TakeWriter.h"
#include "Tool.h"
#include "VoiceSnapshot.h"

#include <signal.h>
#include <sys/resource.h>

#include <algorithm>
#include <new>
#include <optional>

namespace {

// The most of an instance's own reason that goes into a line.
constexpr size_t kMaxReasonLength = 200;
// The nice value of the mix.
constexpr int kMixingNice = 10;

struct RecordOptions {
    TakeOptions take;
    std::string output;
    bool all = false;
    std::vector<pid_t> pids;
};

// The options; B_BAD_VALUE, with the usage error that says what is wrong
// with them.
Result<RecordOptions> ParseOptions(const std::vector<std::string>& arguments)
{
    auto wrong = [](const std::string& reason) { return Error { B_BAD_VALUE, reason }; };
    RecordOptions options;
    bool haveOutput = false;
    for (size_t i = 0; i < arguments.size(); i++) {
        const std::string& argument = arguments[i];
        std::string name = argument;
        std::optional<std::string> value;
        if (size_t equals = argument.find('='); argument.starts_with("--")
            && equals != std::string::npos) {
            name = argument.substr(0, equals);
            value = argument.substr(equals + 1);
        }
        if (name == "-o" || name == "--output" || name == "--seconds" || name == "--gain") {
            if (!value && i + 1 >= arguments.size())
                return wrong("option " + Quoted(name) + " needs a value");
            if (!value)
                value = arguments[++i];
            Result<> taken;
            if (name == "--seconds") {
                taken = options.take.SetSeconds(name, *value);
            } else if (name == "--gain") {
                taken = options.take.SetGain(name, *value);
            } else if (value->empty()) {
                taken = wrong("option " + Quoted(name) + " needs a file name");
            } else {
                options.output = *value;
                haveOutput = true;
            }
            if (!taken)
                return taken.error();
        } else if (IsOption(argument)) {
            return wrong("unknown option " + Quoted(argument) + " for record");
        } else if (argument == "all") {
            options.all = true;
        } else if (std::optional<pid_t> pid = ParsePid(argument)) {
            options.pids.push_back(*pid);
        } else {
            return wrong(Quoted(argument) + " is not a process id");
        }
    }
    if (options.all == !options.pids.empty())
        return wrong("record needs process ids or \"all\"");
    if (!haveOutput)
        return wrong("record needs a file to write: name it with -o FILE");
    return options;
}

// The instance's answer, its voice's state, or the reason there is none.
// `running`, the instances that run now, is read once, when first needed.
Result<VoiceSnapshot> StateOf(const StateRequests::Answer& answer,
    std::optional<std::vector<pid_t>>& running)
{
    const status_t status = answer.reply.code();
    if (status == B_ENTRY_NOT_FOUND) {
        if (!running) {
            Result<std::vector<pid_t>> now = RunningInstances();
            if (!now)
                ReportFailure(kReadRegistry, now.error());
            running = now.value_or(std::vector<pid_t> { answer.pid });
        }
        if (!IsRunning(*running, answer.pid))
            return Error { B_ENTRY_NOT_FOUND, "it has ended" };
    }
    if (status == B_TIMED_OUT)
        return Error { B_TIMED_OUT, "it gave no answer within " + std::to_string(StateRequests::kReplyTimeout / 1000000) + " seconds" };
    if (status == B_BAD_VALUE)
        return Error { B_BAD_DATA, "its answer is malformed" };
    if (status == B_NO_INIT)
        return Error { B_NO_INIT, "no thread could be started to ask it" };
    if (status != B_OK)
        return Error { status, Describe(status) };
    const BMessage& reply = *answer.reply;
    if (reply.what == B_NO_REPLY)
        return Error { B_ERROR, "it doesn't know the request (an older version?)" };

    const void* data = nullptr;
    ssize_t size = 0;
    const char* reason = nullptr;
    if (reply.what == VOICE_STATE && reply.FindData(kStateField, B_RAW_TYPE, &data, &size) == B_OK) {
        Result<VoiceSnapshot> state = VoiceSnapshot::Decode(data, static_cast<size_t>(size));
        if (!state)
            return Error { B_BAD_DATA, "its state is malformed" };
        return state;
    }
    if (reply.what == VOICE_STATE && reply.FindString(kErrorField, &reason) == B_OK) {
        std::string said = reason;
        if (said.size() > kMaxReasonLength)
            said = said.substr(0, kMaxReasonLength) + "...";
        return Error { B_ERROR, said };
    }
    return Error { B_BAD_DATA, "its answer is malformed" };
}

// The targets that run, from `options` and the registry, after a line for
// each named one that doesn't; whether one didn't in `missing`.
Result<std::vector<pid_t>> Targets(const RecordOptions& options, const TakeWriter& writer,
    bool* missing)
{
    Result<std::vector<pid_t>> running = RunningInstances();
    if (!running || options.all)
        return running;
    std::vector<pid_t> pids = options.pids;
    std::sort(pids.begin(), pids.end());
    pids.erase(std::unique(pids.begin(), pids.end()), pids.end());
    std::vector<pid_t> targets;
    for (pid_t pid : pids) {
        if (IsRunning(*running, pid)) {
            targets.push_back(pid);
        } else {
            writer.Say("no running instance with pid " + std::to_string(pid));
            *missing = true;
        }
    }
    return targets;
}

// Asks the targets for their voices and writes the take; the exit status.
int RecordTake(const RecordOptions& options, RenderFile& file, const StopSignals& stops)
{
    TakeWriter writer(file, stops);
    bool failed = false;
    Result<std::vector<pid_t>> targets = Targets(options, writer, &failed);
    if (!targets) {
        ReportFailure(kReadRegistry, targets.error());
        return EXIT_FAILED;
    }
    if (targets->empty()) {
        if (options.all)
            writer.Say("couldn't record: no instance is running");
        return EXIT_FAILED;
    }

    auto requests = StateRequests::Start(*targets);
    if (!requests) {
        writer.Say("couldn't ask the instances: " + requests.reason());
        return EXIT_FAILED;
    }
    auto answers = (*requests)->Wait(stops.Descriptor());
    // Threads may still wait on an instance: the tool ends at once (see
    // main()), once the file has let go of its place on the way there.
    if (answers.code() == B_INTERRUPTED)
        return 128 + stops.Received();
    if (!answers) {
        writer.Say("couldn't ask the instances: " + answers.reason());
        return EXIT_FAILED;
    }

    std::vector<VoiceSnapshot> states;
    std::optional<std::vector<pid_t>> running;
    for (const StateRequests::Answer& answer : *answers) {
        Result<VoiceSnapshot> state = StateOf(answer, running);
        if (!state) {
            writer.Say("couldn't record pid " + std::to_string(answer.pid) + ": " + state.reason());
            failed = true;
            continue;
        }
        states.push_back(std::move(*state));
    }
    if (states.empty()) {
        writer.Say("couldn't record: no instance gave its state, so nothing is written");
        return EXIT_FAILED;
    }
    // The instances play on meanwhile: the mix, which uses every processor,
    // gives way to them (the voices' threads inherit this).
    setpriority(PRIO_PROCESS, 0, kMixingNice);
    auto makeVoices = [&] {
        TakeWriter::Voices voices;
        for (const VoiceSnapshot& state : states)
            voices.push_back(std::make_unique<OfflineVoice>(state));
        return voices;
    };
    int status = writer.Write(makeVoices, options.take.frames, options.take.gain);
    return status == TakeWriter::kWritten && failed ? EXIT_FAILED : status;
}

} // namespace

int Record(const std::vector<std::string>& arguments)
{
    Result<RecordOptions> parsed = ParseOptions(arguments);
    if (!parsed)
        return UsageError(parsed.reason());
    const RecordOptions& options = *parsed;
    // A reader gone from stderr is no reason to stop, and a file grown past
    // the size limit is a write that fails.
    signal(SIGPIPE, SIG_IGN);
    signal(SIGXFSZ, SIG_IGN);

    // Before any instance is asked: a file that can't be written is a usage
    // error.
    auto file = RenderFile::Create(options.output, options.take.frames);
    if (!file) {
        ReportLine(file.reason());
        return EXIT_USAGE;
    }
    // Ctrl+C and the like are taken as messages, so the take can stop
    // between two chunks and leave nothing behind. The threads that start
    // later hold them back too.
    auto stops = StopSignals::Watch();
    if (!stops) {
        ReportFailure("watch for signals", stops.error());
        return EXIT_FAILED;
    }
    try {
        return RecordTake(options, **file, **stops);
    } catch (const std::bad_alloc&) {
        (*stops)->Say(ReportedLine("couldn't record: out of memory"));
        return EXIT_FAILED;
    }
}
