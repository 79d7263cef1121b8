// The control tool against real instances of the program: three of them run
// on a private X server and sound server, registered in a private runtime
// directory; the tool lists them, has one roll its settings again and ends
// them, one and then the rest. Bad command lines are refused before anything
// is sent.

#include "PulseServer.h"
#include "TestSupport.h"
#include "XvfbServer.h"
#include "Message.h"
#include "Application.h"
#include "AppSignature.h"

#include <gtest/gtest.h>

// After GoogleTest: Xlib's macros (None, Bool, ...) would break its headers.
#include "Session.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

using namespace std::chrono_literals;

namespace {

struct CtlResult {
    int exitCode = -1;
    std::string out;
    std::string err;
};

// One line of `list`.
struct Listed {
    std::string pid;
    std::string index;
    std::string title;
    bool operator==(const Listed&) const = default;
};

void PrintTo(const Listed& item, std::ostream* out)
{
    *out << "{" << item.pid << " " << item.index << " " << item.title << "}";
}

class CtlTest : public SessionTest {
protected:
    // Starts three instances one after another, each once the one before
    // has published its index, so they get 0, 1, 2.
    void StartThreeInstances()
    {
        for (int i = 0; i < 3; ++i) {
            std::string pid = std::to_string(S().StartInstance().Pid());
            ASSERT_TRUE(WaitUntil([&] {
                for (const Listed& line : List())
                    if (line.pid == pid && line.index != "-")
                        return true;
                return false;
            })) << S().Output(i);
        }
    }

    // Runs the tool with `arguments`; its stdout and stderr kept apart.
    CtlResult Ctl(const std::vector<std::string>& arguments)
    {
        std::string errors = S().Runtime().File("stderr");
        std::vector<std::string> argv = { "/bin/sh", "-c", "exec \"$0\" \"$@\" 2>'" + errors + "'",
            CTL_PATH };
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        ChildProcess::Result result = ChildProcess::Run(argv, S().Environment(), 20s);
        EXPECT_TRUE(result.exited) << "the tool hung: " << result.output;
        return { result.exitCode, result.output, ReadFile(errors) };
    }

    // The lines of `list` below its header.
    std::vector<Listed> List()
    {
        CtlResult result = Ctl({ "list" });
        EXPECT_EQ(result.exitCode, 0) << result.err;
        EXPECT_EQ(result.err, "");
        std::istringstream lines(result.out);
        std::string line;
        std::getline(lines, line);
        EXPECT_EQ(line, "PID\tINDEX\tTITLE");
        std::vector<Listed> listed;
        while (std::getline(lines, line)) {
            Listed item;
            std::istringstream fields(line);
            std::getline(fields, item.pid, '\t');
            std::getline(fields, item.index, '\t');
            std::getline(fields, item.title);
            listed.push_back(item);
        }
        return listed;
    }

    std::string Pid(int instance) { return std::to_string(S().Instance(instance).Pid()); }
    ChildProcess& Instance(int instance) { return S().Instance(instance); }

    // The titles of the top-level windows on the X server.
    std::set<std::string> WindowNames()
    {
        std::set<std::string> names;
        for (Window window : S().X().TopLevelWindows())
            names.insert(S().X().Title(window));
        return names;
    }
};

TEST_F(CtlTest, ListsRerollsAndQuitsRunningInstances)
{
    ASSERT_NO_FATAL_FAILURE(StartThreeInstances());
    std::vector<Listed> expected = {
        { Pid(0), "0", "gondavel_wubbix" },
        { Pid(1), "1", "ondavel_wubbixg" },
        { Pid(2), "2", "ndavel_wubbixgo" },
    };
    // Process ids grow with start order here, as they do barring wraparound.
    std::sort(expected.begin(), expected.end(),
        [](const Listed& a, const Listed& b) { return std::stoi(a.pid) < std::stoi(b.pid); });
    EXPECT_EQ(List(), expected);
    // What the instances published is what their windows show.
    EXPECT_TRUE(WaitUntil([&] {
        std::set<std::string> names = WindowNames();
        return names.count("gondavel_wubbix") && names.count("ondavel_wubbixg")
            && names.count("ndavel_wubbixgo");
    }, 10s));

    CtlResult reroll = Ctl({ "reroll", "--mains", Pid(1) });
    EXPECT_EQ(reroll.exitCode, 0) << reroll.err;
    EXPECT_EQ(reroll.out + reroll.err, "");
    reroll = Ctl({ "reroll", "--delta", "--mains", "all" });
    EXPECT_EQ(reroll.exitCode, 0) << reroll.err;
    // Every instance handles it and goes on.
    EXPECT_EQ(List(), expected);
    for (int i = 0; i < 3; i++)
        EXPECT_TRUE(Instance(i).IsRunning());

    CtlResult quit = Ctl({ "quit", Pid(1) });
    EXPECT_EQ(quit.exitCode, 0) << quit.err;
    EXPECT_EQ(quit.out + quit.err, "");
    ASSERT_TRUE(Instance(1).WaitForExit(20s));
    EXPECT_EQ(Instance(1).ExitCode(), 0);
    expected.erase(std::find_if(expected.begin(), expected.end(),
        [&](const Listed& item) { return item.pid == Pid(1); }));
    EXPECT_EQ(List(), expected);

    // An instance that has ended is a target no more.
    CtlResult again = Ctl({ "reroll", Pid(1) });
    EXPECT_EQ(again.exitCode, 1);
    EXPECT_EQ(again.err, "gondavel_wubbix-ctl: no running instance with pid " + Pid(1) + "\n");

    quit = Ctl({ "quit", "all" });
    EXPECT_EQ(quit.exitCode, 0) << quit.err;
    for (int i : { 0, 2 }) {
        ASSERT_TRUE(Instance(i).WaitForExit(20s));
        EXPECT_EQ(Instance(i).ExitCode(), 0);
    }
    EXPECT_EQ(List(), std::vector<Listed> {});
}

TEST_F(CtlTest, BadCommandLinesAreRefusedWithoutSendingAnything)
{
    ASSERT_NO_FATAL_FAILURE(StartThreeInstances());
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        { {}, "no command given" },
        { { "frob", "all" }, "unknown command \"frob\"" },
        { { "--frob" }, "unknown option \"--frob\"" },
        { { "quit", "all", "--now" }, "unknown option \"--now\" for quit" },
        { { "quit", "--mains", "all" }, "unknown option \"--mains\" for quit" },
        { { "reroll", "--mains" }, "reroll needs a process id or \"all\"" },
        { { "quit", "all", "all" }, "unexpected argument \"all\"" },
        { { "list", "all" }, "unexpected argument \"all\"" },
        { { "quit", "12x" }, "\"12x\" is not a process id" },
        { { "quit", "-5" }, "\"-5\" is not a process id" },
        { { "quit", "0" }, "\"0\" is not a process id" },
        { { "quit", "+5" }, "\"+5\" is not a process id" },
        { { "quit", "2147483648" }, "\"2147483648\" is not a process id" },
        { { "quit", Pid(0) + " " }, "\"" + Pid(0) + " \" is not a process id" },
    };
    for (const auto& [arguments, complaint] : cases) {
        CtlResult result = Ctl(arguments);
        std::string shown = arguments.empty() ? "(none)" : arguments[0] + " ...";
        EXPECT_EQ(result.exitCode, 2) << shown;
        EXPECT_EQ(result.out, "") << shown;
        EXPECT_EQ(result.err, "gondavel_wubbix-ctl: " + complaint + "\n") << shown;
    }
    EXPECT_EQ(List().size(), 3u);
    for (int i = 0; i < 3; i++)
        EXPECT_TRUE(Instance(i).IsRunning());
}

TEST_F(CtlTest, UnknownProcessIdsFailAndNoInstancesIsNothingToDo)
{
    // No instance has ever run: the registry does not even exist yet.
    EXPECT_EQ(List(), std::vector<Listed> {});
    for (const char* command : { "quit", "reroll" }) {
        CtlResult all = Ctl({ command, "all" });
        EXPECT_EQ(all.exitCode, 0) << all.err;
        EXPECT_EQ(all.out + all.err, "");
    }
    // A live process, but not an instance.
    std::string self = std::to_string(getpid());
    CtlResult unknown = Ctl({ "quit", self });
    EXPECT_EQ(unknown.exitCode, 1);
    EXPECT_EQ(unknown.out, "");
    EXPECT_EQ(unknown.err, "gondavel_wubbix-ctl: no running instance with pid " + self + "\n");
    unknown = Ctl({ "reroll", "--delta", "2147483647" });
    EXPECT_EQ(unknown.exitCode, 1);
    EXPECT_EQ(unknown.err, "gondavel_wubbix-ctl: no running instance with pid 2147483647\n");
}

TEST_F(CtlTest, ListShowsWhatWouldSteerTheTerminalEscaped)
{
    // This test stands in for an instance whose published title was
    // crafted: terminal escapes, a C1 control, bytes of no character.
    setenv("XDG_RUNTIME_DIR", S().Runtime().Path().c_str(), 1);
    sigset_t signals;
    pthread_sigmask(SIG_SETMASK, nullptr, &signals);
    auto entry = std::make_unique<BApplication>(app_signature);
    BMessage info;
    info.AddInt32("index", 3);
    info.AddString("title", "a\x1b]0;x\x07" "b\xc2\x9b" "31mc\\d\te\xff \xc3\xbc");
    ASSERT_EQ(entry->SetInstanceInfo(info), B_OK);
    EXPECT_EQ(List(), (std::vector<Listed> { { std::to_string(getpid()), "3",
                          "a\\x1b]0;x\\x07b\\xc2\\x9b31mc\\x5cd\\x09e\\xff \xc3\xbc" } }));
    entry.reset();
    pthread_sigmask(SIG_SETMASK, &signals, nullptr);
    unsetenv("XDG_RUNTIME_DIR");
}

TEST_F(CtlTest, HelpAndVersionGoToStandardOutput)
{
    CtlResult version = Ctl({ "--version" });
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_EQ(version.out, "gondavel_wubbix-ctl 1.1.0 (development)\n");
    EXPECT_EQ(version.err, "");
    for (const char* option : { "--help", "-h" }) {
        CtlResult help = Ctl({ "quit", option });
        EXPECT_EQ(help.exitCode, 0);
        EXPECT_EQ(help.out.rfind("usage: gondavel_wubbix-ctl COMMAND", 0), 0u) << help.out;
        for (const char* word : { "list", "reroll [--mains] [--delta] PID|all", "quit PID|all" })
            EXPECT_NE(help.out.find(word), std::string::npos) << word;
        EXPECT_EQ(help.err, "");
    }
}

} // namespace
