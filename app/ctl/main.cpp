// gondavel_wubbix-ctl: lists the running instances of the program, sends
// them requests through the roster and records what they play, from the
// command line. Each instance publishes its index and title in its roster
// entry; requests travel as messages over the instance's socket. Errors are
// one line on stderr; the exit status says what kind of failure it was.

#include "Message.h"
#include "MessageCodes.h"
#include "Messenger.h"
#include "ProgramInfo.h"
#include "Record.h"
#include "Report.h"
#include "Roster.h"
#include "StandardDescriptors.h"
#include "Tool.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace {

constexpr const char kUsage[] = R"(Usage: gondavel_wubbix-ctl COMMAND [ARGUMENTS]
Lists the running instances of gondavel_wubbix, asks them to roll new
settings or to quit, and records what they play.

Commands:
  list                  one line per running instance, in process id order:
                        PID, INDEX and TITLE separated by tabs, after a header
                        line; "-" where an instance has published nothing
  reroll [--mains] [--delta] PID|all
                        has the instance roll its drift settings again;
                        --mains also rolls its delay, frequency and feedback,
                        --delta its restlessness
  quit PID|all          asks the instance to quit
  record [--seconds S] [--gain DB] -o FILE PID...|all
                        asks the instances for their state at one moment and
                        writes what they will play from then on, mixed, to
                        FILE, far faster than real time: S seconds (up to
                        86400, default 60) at a gain of DB decibels (-100 to
                        100; by default the peak is set to -1 dBFS); FILE is
                        .wav (32-bit float), .flac (24-bit) or .ogg (Vorbis).
                        What happens to them later
                        (a redraw, a roll, a new instance) isn't foreseen

Options:
  -h, --help            print this help and exit
      --version         print the version and exit

Exit status: 0 on success, 1 when a target is not a running instance, a
request could not be sent or, for record, answered (all other targets are
still served; the others are recorded) or the output could not be written,
2 for a usage error, a FILE that can't be written or replaced included
(then nothing is sent). A signal that stops record makes it 128 plus the
signal's number, 130 for Ctrl+C; then nothing is written.
)";

// The length of the UTF-8 sequence at `text` and the code point it encodes,
// or 0 when it is not a valid, shortest-form sequence.
size_t DecodeUtf8(const unsigned char* text, size_t left, char32_t* point)
{
    size_t length = text[0] >= 0xf0 ? 4 : text[0] >= 0xe0 ? 3
        : text[0] >= 0xc0                                 ? 2
                                                          : 1;
    if (text[0] >= 0xf8 || (text[0] >= 0x80 && text[0] < 0xc0) || length > left)
        return 0;
    char32_t value = length == 1 ? text[0] : text[0] & (0x7f >> length);
    for (size_t i = 1; i < length; ++i) {
        if ((text[i] & 0xc0) != 0x80)
            return 0;
        value = value << 6 | (text[i] & 0x3f);
    }
    static constexpr char32_t kShortest[] = { 0, 0, 0x80, 0x800, 0x10000 };
    if (value < kShortest[length] || value > 0x10ffff || (value >= 0xd800 && value <= 0xdfff))
        return 0;
    *point = value;
    return length;
}

// Whether a terminal shows `point` as a character, rather than taking it as
// a control, a line break or a change of writing direction.
bool Printable(char32_t point)
{
    if (point < 0x20 || (point >= 0x7f && point < 0xa0))
        return false;
    return !((point >= 0x200b && point <= 0x200f) || (point >= 0x2028 && point <= 0x202e)
        || (point >= 0x2060 && point <= 0x206f) || point == 0xfeff
        || (point >= 0xfff9 && point <= 0xfffb));
}

// What an instance published, made safe for one tab-separated line on a
// terminal: printable characters as they are, every other byte (controls,
// tabs, C1 controls, bytes of no valid UTF-8) and the backslash escaped as
// \xHH, so nothing in it can steer the terminal.
std::string Field(const char* text)
{
    std::string field;
    const auto* bytes = reinterpret_cast<const unsigned char*>(text);
    size_t left = strlen(text);
    while (left > 0) {
        char32_t point = 0;
        size_t length = DecodeUtf8(bytes, left, &point);
        if (length == 0 || !Printable(point) || point == '\\')
            length = 0;
        if (length > 0) {
            field.append(reinterpret_cast<const char*>(bytes), length);
        } else {
            char escape[5];
            snprintf(escape, sizeof escape, "\\x%02x", bytes[0]);
            field += escape;
            length = 1;
        }
        bytes += length;
        left -= length;
    }
    return field.empty() ? "-" : field;
}

int List()
{
    Result<std::vector<pid_t>> pids = RunningInstances();
    if (!pids) {
        ReportFailure(kReadRegistry, pids.error());
        return EXIT_FAILED;
    }
    printf("PID\tINDEX\tTITLE\n");
    for (pid_t pid : *pids) {
        // Nothing published reads as an empty description.
        BMessage info = be_roster->GetInstanceInfo(kProgramSignature, pid).value_or(BMessage());
        int32 index = 0;
        const char* title = nullptr;
        std::string indexText = info.FindInt32(kIndexField, &index) == B_OK
            ? std::to_string(index)
            : "-";
        std::string titleText = info.FindString(kTitleField, &title) == B_OK
            ? Field(title)
            : "-";
        printf("%d\t%s\t%s\n", static_cast<int>(pid), indexText.c_str(), titleText.c_str());
    }
    return EXIT_OK;
}

// Sends `message` to `target` of the instance `pid`, or of every running
// instance when `pid` is empty.
int SendTo(std::optional<pid_t> pid, MessageTarget target, const BMessage& message)
{
    Result<std::vector<pid_t>> running = RunningInstances();
    if (!running) {
        ReportFailure(kReadRegistry, running.error());
        return EXIT_FAILED;
    }
    if (pid && !IsRunning(*running, *pid)) {
        ReportLine("no running instance with pid " + std::to_string(*pid));
        return EXIT_FAILED;
    }
    std::vector<pid_t> targets = pid ? std::vector<pid_t> { *pid } : *running;
    std::vector<std::pair<pid_t, status_t>> failed;
    for (pid_t each : targets) {
        Result<> sent = BMessenger(kProgramSignature, each, target).SendMessage(message);
        if (!sent)
            failed.emplace_back(each, sent.code());
    }
    if (failed.empty())
        return EXIT_OK;
    // An instance that ended since it was listed needs nothing more. The
    // registry is read again once, not once for each failure.
    Result<std::vector<pid_t>> now = RunningInstances();
    if (!now)
        ReportFailure(kReadRegistry, now.error());
    int result = EXIT_OK;
    for (const auto& [each, status] : failed) {
        if (now && !IsRunning(*now, each)) {
            if (pid) {
                ReportLine("no running instance with pid " + std::to_string(each));
                result = EXIT_FAILED;
            }
            continue;
        }
        ReportFailure("send to pid " + std::to_string(each), Describe(status));
        result = EXIT_FAILED;
    }
    return result;
}

// Does what the command line asks; the exit status.
int Run(const std::vector<std::string>& arguments)
{
    for (const std::string& argument : arguments) {
        if (argument == "-h" || argument == "--help") {
            fputs(kUsage, stdout);
            return EXIT_OK;
        }
    }
    if (arguments.empty())
        return UsageError("no command given");
    const std::string& command = arguments[0];
    if (command == "--version") {
        if (arguments.size() > 1)
            return UsageError("unexpected argument " + Quoted(arguments[1]));
        printf("%s %s\n", kTool, kProgramVersion);
        return EXIT_OK;
    }
    if (IsOption(command))
        return UsageError("unknown option " + Quoted(command));
    if (command == "record")
        return Record(std::vector<std::string>(arguments.begin() + 1, arguments.end()));
    if (command != "list" && command != "reroll" && command != "quit")
        return UsageError("unknown command " + Quoted(command));

    bool mains = false;
    bool delta = false;
    std::vector<std::string> targets;
    for (size_t i = 1; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (command == "reroll" && argument == "--mains")
            mains = true;
        else if (command == "reroll" && argument == "--delta")
            delta = true;
        else if (IsOption(argument))
            return UsageError("unknown option " + Quoted(argument) + " for " + command);
        else
            targets.push_back(argument);
    }

    if (command == "list") {
        if (!targets.empty())
            return UsageError("unexpected argument " + Quoted(targets[0]));
        return List();
    }
    if (targets.empty())
        return UsageError(command + " needs a process id or \"all\"");
    if (targets.size() > 1)
        return UsageError("unexpected argument " + Quoted(targets[1]));
    std::optional<pid_t> pid;
    if (targets[0] != "all") {
        pid = ParsePid(targets[0]);
        if (!pid)
            return UsageError(Quoted(targets[0]) + " is not a process id");
    }

    if (command == "quit")
        return SendTo(pid, MessageTarget::Application, BMessage(B_QUIT_REQUESTED));
    BMessage reroll(INIT_SLIDERS);
    if (mains)
        reroll.AddBool(kMainsField, true);
    if (delta)
        reroll.AddBool(kDeltaField, true);
    return SendTo(pid, MessageTarget::Window, reroll);
}

} // namespace

int main(int argc, char** argv)
{
    SetProgramName(kTool);
    if (Result<> opened = OpenStandardDescriptors(); !opened) {
        ReportFailure("open /dev/null", opened.error());
        return EXIT_FAILED;
    }
    int status = Run(std::vector<std::string>(argv + 1, argv + argc));
    // Output that didn't all arrive (a full disk, a closed pipe) is a failure.
    bool unflushed = fflush(stdout) != 0;
    int error = errno;
    if (unflushed || ferror(stdout)) {
        ReportLine(std::string("couldn't write the output")
            + (unflushed ? std::string(": ") + strerror(error) : ""));
        return status == EXIT_OK ? EXIT_FAILED : status;
    }
    // A command that a signal stopped may leave threads waiting on an
    // instance, which nothing can call back: the process ends at once,
    // without the exit handlers they might still be using.
    if (status > 128)
        _exit(status);
    return status;
}
