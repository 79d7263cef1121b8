// The control tool against real instances of the program: three of them run
// on a private X server and sound server, registered in a private runtime
// directory; the tool lists them, has one roll its settings again and ends
// them, one and then the rest. Bad command lines are refused before anything
// is sent.

#include "Application.h"
#include "Message.h"
#include "ProgramInfo.h"
#include "Session.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

using namespace std::chrono_literals;

namespace {

class CtlTest : public SessionTest {
protected:
    pid_t Pid(int instance) { return S().Instance(instance).Pid(); }
    std::string PidText(int instance) { return std::to_string(Pid(instance)); }
};

TEST_F(CtlTest, ListsRerollsAndQuitsRunningInstances)
{
    ASSERT_TRUE(S().StartOneAfterAnother(3));
    std::vector<ListedInstance> expected = {
        { Pid(0), "0", "gondavel_wubbix" },
        { Pid(1), "1", "ondavel_wubbixg" },
        { Pid(2), "2", "ndavel_wubbixgo" },
    };
    // Process ids grow with start order here, as they do barring wraparound.
    std::sort(expected.begin(), expected.end(),
        [](const ListedInstance& a, const ListedInstance& b) { return a.pid < b.pid; });
    EXPECT_EQ(S().List(), expected);
    // What the instances published is what their windows show.
    for (const char* title : { "gondavel_wubbix", "ondavel_wubbixg", "ndavel_wubbixgo" })
        EXPECT_NE(X().FindWindow(title), 0u) << title;

    CtlResult reroll = S().Ctl({ "reroll", "--mains", PidText(1) });
    EXPECT_EQ(reroll.exitCode, 0) << reroll.err;
    EXPECT_EQ(reroll.out + reroll.err, "");
    reroll = S().Ctl({ "reroll", "--delta", "--mains", "all" });
    EXPECT_EQ(reroll.exitCode, 0) << reroll.err;
    // Every instance handles it and goes on.
    EXPECT_EQ(S().List(), expected);
    for (int i = 0; i < 3; i++)
        EXPECT_TRUE(S().Instance(i).IsRunning());

    CtlResult quit = S().Ctl({ "quit", PidText(1) });
    EXPECT_EQ(quit.exitCode, 0) << quit.err;
    EXPECT_EQ(quit.out + quit.err, "");
    ASSERT_TRUE(S().Exits(S().Instance(1), 0, 20s));
    expected.erase(std::find_if(expected.begin(), expected.end(),
        [&](const ListedInstance& item) { return item.pid == Pid(1); }));
    EXPECT_EQ(S().List(), expected);

    // An instance that has ended is a target no more.
    CtlResult again = S().Ctl({ "reroll", PidText(1) });
    EXPECT_EQ(again.exitCode, 1);
    EXPECT_EQ(again.err, "gondavel_wubbix-ctl: no running instance with pid " + PidText(1) + "\n");

    quit = S().Ctl({ "quit", "all" });
    EXPECT_EQ(quit.exitCode, 0) << quit.err;
    for (int i : { 0, 2 }) {
        ASSERT_TRUE(S().Exits(S().Instance(i), 0, 20s));
    }
    EXPECT_EQ(S().List(), std::vector<ListedInstance> {});
}

TEST_F(CtlTest, BadCommandLinesAreRefusedWithoutSendingAnything)
{
    ASSERT_TRUE(S().StartOneAfterAnother(3));
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        { {}, "no command given" },
        { { "frob", "all" }, "unknown command \"frob\"" },
        { { "frob\x1b[1m\n" }, "unknown command \"frob\\x1b[1m\\n\"" },
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
        { { "quit", "0" + PidText(0) }, "\"0" + PidText(0) + "\" is not a process id" },
        { { "quit", PidText(0) + " " }, "\"" + PidText(0) + " \" is not a process id" },
        { { "record", "-o", "x.wav" }, "record needs process ids or \"all\"" },
        { { "record", "-o", "x.wav", "all", PidText(0) }, "record needs process ids or \"all\"" },
        { { "record", PidText(0) }, "record needs a file to write: name it with -o FILE" },
        { { "record", "--seconds", "1e1", "-o", "x.wav", "all" }, "--seconds needs a number, not '1e1'" },
        { { "record", "--gain=-101", "-o", "x.wav", "all" }, "--gain must be from -100 to 100, not '-101'" },
        { { "record", "--seconds" }, "option \"--seconds\" needs a value" },
    };
    for (const auto& [arguments, complaint] : cases) {
        CtlResult result = S().Ctl(arguments);
        std::string shown = arguments.empty() ? "(none)" : arguments[0] + " ...";
        EXPECT_EQ(result.exitCode, 2) << shown;
        EXPECT_EQ(result.out, "") << shown;
        EXPECT_EQ(result.err, "gondavel_wubbix-ctl: " + complaint + "\nTry 'gondavel_wubbix-ctl --help' for more information.\n")
            << shown;
    }
    EXPECT_EQ(S().List().size(), 3u);
    for (int i = 0; i < 3; i++)
        EXPECT_TRUE(S().Instance(i).IsRunning());
}

TEST_F(CtlTest, UnknownProcessIdsFailAndNoInstancesIsNothingToDo)
{
    // No instance has ever run: the registry does not even exist yet.
    EXPECT_EQ(S().List(), std::vector<ListedInstance> {});
    for (const char* command : { "quit", "reroll" }) {
        CtlResult all = S().Ctl({ command, "all" });
        EXPECT_EQ(all.exitCode, 0) << all.err;
        EXPECT_EQ(all.out + all.err, "");
    }
    // A live process, but not an instance.
    std::string self = std::to_string(getpid());
    CtlResult unknown = S().Ctl({ "quit", self });
    EXPECT_EQ(unknown.exitCode, 1);
    EXPECT_EQ(unknown.out, "");
    EXPECT_EQ(unknown.err, "gondavel_wubbix-ctl: no running instance with pid " + self + "\n");
    unknown = S().Ctl({ "reroll", "--delta", "2147483647" });
    EXPECT_EQ(unknown.exitCode, 1);
    EXPECT_EQ(unknown.err, "gondavel_wubbix-ctl: no running instance with pid 2147483647\n");
}

TEST_F(CtlTest, ListAnswersPastAFifoPutInTheRegistry)
{
    ASSERT_TRUE(S().StartOneAfterAnother(1));
    // In a lock file's place, it would hold any reader that opens it for good.
    ASSERT_EQ(mkfifo(S().RegistryFile(2147483647, ".lock").c_str(), 0600), 0);
    EXPECT_EQ(S().List(), (std::vector<ListedInstance> { { Pid(0), "0", "gondavel_wubbix" } }));
}

TEST_F(CtlTest, OutputThatCantBeWrittenIsAFailure)
{
    for (const char* command : { "list", "--help" }) {
        ChildProcess::Result result = ChildProcess::Run(
            { "/bin/sh", "-c", "exec \"$0\" \"$1\" >/dev/full", kCtlPath, command },
            S().Environment(), 20s);
        EXPECT_EQ(result.exitCode, 1) << command;
        EXPECT_EQ(result.output,
            "gondavel_wubbix-ctl: couldn't write the output: No space left on device\n");
    }
}

TEST_F(CtlTest, ListShowsWhatWouldSteerTheTerminalEscaped)
{
    // This test stands in for an instance whose published title was
    // crafted: terminal escapes, a C1 control, bytes of no character.
    S().JoinFromThisProcess();
    BMessage info;
    info.AddInt32("index", 3);
    info.AddString("title", "a\x1b]0;x\x07"
                            "b\xc2\x9b"
                            "31mc\\d\te\xff \xc3\xbc");
    // The application blocks the quit signals for the thread; they come back
    // with it gone.
    sigset_t signals;
    pthread_sigmask(SIG_SETMASK, nullptr, &signals);
    {
        BApplication instance(kProgramSignature);
        ASSERT_TRUE(instance.SetInstanceInfo(info));
        EXPECT_EQ(S().List(), (std::vector<ListedInstance> { { getpid(), "3", "a\\x1b]0;x\\x07b\\xc2\\x9b31mc\\x5cd\\x09e\\xff \xc3\xbc" } }));
    }
    pthread_sigmask(SIG_SETMASK, &signals, nullptr);
}

TEST_F(CtlTest, HelpAndVersionGoToStandardOutput)
{
    CtlResult version = S().Ctl({ "--version" });
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_EQ(version.out, "gondavel_wubbix-ctl 1.1.0 (development)\n");
    EXPECT_EQ(version.err, "");
    for (const char* option : { "--help", "-h" }) {
        CtlResult help = S().Ctl({ "quit", option });
        EXPECT_EQ(help.exitCode, 0);
        EXPECT_EQ(help.out.rfind("Usage: gondavel_wubbix-ctl COMMAND", 0), 0u) << help.out;
        for (const char* word : { "list", "reroll [--mains] [--delta] PID|all", "quit PID|all",
                 "record [--seconds S] [--gain DB] -o FILE PID...|all" })
            EXPECT_NE(help.out.find(word), std::string::npos) << word;
        EXPECT_EQ(help.err, "");
    }
}

} // namespace
