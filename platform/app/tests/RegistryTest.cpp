// The registry's directory checks, with a temporary directory standing in
// for /tmp, the launch message as a new instance reads it, the
// description an instance publishes as tools read it back, and replies as
// a sender reads them.

#include "LaunchMessage.h"
#include "List.h"
#include "Message.h"
#include "RegistryDirectory.h"
#include "RegistryEntry.h"
#include "RegistryStartLock.h"
#include "ReplyChannel.h"
#include "Roster.h"
#include "RosterServer.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

class RegistryDirectoryTest : public testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/gw-registry-test.XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        fBase = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(fBase); }

    Result<std::unique_ptr<RegistryDirectory>> Open(bool create = true)
    {
        return RegistryDirectory::OpenUnder(fBase, "gw-roster-0",
            "application/x-vnd.gw-roster-test", create);
    }

    std::string Root() const { return fBase + "/gw-roster-0"; }

    std::string fBase;
};

TEST_F(RegistryDirectoryTest, CreatesPrivateLevelsNamedByTheSignatureHashOnlyWhenAsked)
{
    const std::string root = Root();
    EXPECT_EQ(Open(false).code(), B_ENTRY_NOT_FOUND);
    EXPECT_FALSE(std::filesystem::exists(root));

    auto directory = Open();
    ASSERT_TRUE(directory) << directory.reason();
    // The signature's 64-bit FNV-1a hash.
    EXPECT_EQ((*directory)->Path(), root + "/0e22512666e4fb4a");
    struct stat info;
    for (const std::string& level : { root, (*directory)->Path() }) {
        ASSERT_EQ(lstat(level.c_str(), &info), 0);
        EXPECT_TRUE(S_ISDIR(info.st_mode));
        EXPECT_EQ(info.st_mode & 0777, 0700u) << level;
        EXPECT_EQ(info.st_uid, geteuid());
    }
    // Opened again, the same directory is accepted as it is.
    EXPECT_TRUE(Open());
}

TEST_F(RegistryDirectoryTest, RefusesALevelThatIsNotADirectoryPrivateToTheUser)
{
    const std::string root = Root();
    auto expectRefused = [&](const std::string& why) {
        auto refused = Open();
        EXPECT_EQ(refused.code(), B_NOT_ALLOWED);
        EXPECT_EQ(refused.reason(), "registry " + root + ": " + why);
        std::filesystem::remove_all(root);
    };
    ASSERT_EQ(mkdir(root.c_str(), 0700), 0);
    ASSERT_EQ(chmod(root.c_str(), 0755), 0);
    expectRefused("is open to other users (mode 0755)");

    const std::string elsewhere = fBase + "/elsewhere";
    ASSERT_EQ(mkdir(elsewhere.c_str(), 0700), 0);
    ASSERT_EQ(symlink(elsewhere.c_str(), root.c_str()), 0);
    expectRefused("is a symbolic link");
    EXPECT_TRUE(std::filesystem::is_empty(elsewhere));

    ASSERT_EQ(close(creat(root.c_str(), 0600)), 0);
    expectRefused("is not a directory");

    // Only root can give a directory away.
    if (geteuid() == 0) {
        ASSERT_EQ(mkdir(root.c_str(), 0700), 0);
        ASSERT_EQ(chown(root.c_str(), 65534, 65534), 0);
        expectRefused("is owned by uid 65534, not 0");
    }

    // The base may be open to others only as /tmp is, with the sticky bit;
    // an ACL counts as the mode does. Little-endian entries (tag, then
    // permissions) after the version: owner, user 65534, group, mask, other.
    const uint32_t anyone = 0xffffffff;
    const uint32_t acl[] = { 2, 0x70001, anyone, 0x70002, 65534, 0x00004, anyone, 0x70010,
        anyone, 0x00020, anyone };
    ASSERT_EQ(setxattr(fBase.c_str(), "system.posix_acl_access", acl, sizeof(acl), 0), 0);
    EXPECT_EQ(Open().reason(), "registry " + fBase + ": gives user nobody write access in its ACL");
    ASSERT_EQ(chmod(fBase.c_str(), 01777), 0);
    EXPECT_TRUE(Open());
    ASSERT_EQ(chmod(fBase.c_str(), 0777), 0);
    EXPECT_EQ(Open().reason(), "registry " + fBase + ": is writable by every user");
    auto relative = RegistryDirectory::OpenUnder("tmp", "gw-roster-0", "application/x-vnd.gw-roster-test", true);
    EXPECT_EQ(relative.reason(), "registry tmp: is not an absolute path");
}

TEST_F(RegistryDirectoryTest, WithoutARuntimeDirectoryANameTakenInTheSharedOneMovesItHome)
{
    // As if another user had made our name in /tmp first; a symbolic link
    // is refused as surely as another user's directory.
    const std::string taken = fBase + "/gw-roster-" + std::to_string(geteuid());
    ASSERT_EQ(mkdir((fBase + "/theirs").c_str(), 0700), 0);
    ASSERT_EQ(symlink((fBase + "/theirs").c_str(), taken.c_str()), 0);
    std::string runtime = getenv("XDG_RUNTIME_DIR") != nullptr ? getenv("XDG_RUNTIME_DIR") : "";
    std::string home = getenv("HOME") != nullptr ? getenv("HOME") : "";
    unsetenv("XDG_RUNTIME_DIR");
    unsetenv("XDG_CACHE_HOME");
    setenv("TMPDIR", fBase.c_str(), 1);
    // Where nothing can be made, the reason is said as it is.
    setenv("HOME", "/sys", 1);
    std::string notice;
    auto refused = RegistryDirectory::OpenToRegister("application/x-vnd.gw-roster-test", &notice);
    const std::string why = geteuid() == 0 ? "Operation not permitted" : "Permission denied";
    EXPECT_EQ(refused.reason(), "registry " + taken + ": is a symbolic link; registry /sys/.cache: can't create it: " + why);

    setenv("HOME", (fBase + "/home").c_str(), 1);
    ASSERT_EQ(mkdir((fBase + "/home").c_str(), 0700), 0);
    // Named by the machine, not by its host name.
    std::string machine;
    std::ifstream("/etc/machine-id") >> machine;
    const std::string root
        = fBase + "/home/.cache/gw-roster" + (machine.empty() ? "" : "-") + machine;
    auto created = RegistryDirectory::OpenToRegister("application/x-vnd.gw-roster-test", &notice);
    ASSERT_TRUE(created) << created.reason();
    EXPECT_TRUE(RegistryStartLock::Held());
    RegistryStartLock::Release();
    EXPECT_EQ((*created)->Path(), root + "/0e22512666e4fb4a");
    EXPECT_EQ(notice, "registry " + taken + ": is a symbolic link; using " + root + " instead");
    // Tools find it there too.
    auto found = RegistryDirectory::Open("application/x-vnd.gw-roster-test");
    ASSERT_TRUE(found) << found.reason();
    EXPECT_EQ((*found)->Path(), (*created)->Path());
    EXPECT_TRUE(std::filesystem::is_empty(fBase + "/theirs"));
    unsetenv("TMPDIR");
    setenv("HOME", home.c_str(), 1);
    if (!runtime.empty())
        setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
}

TEST(LaunchMessage, IsTakenOnceFromTheEnvironmentAndAMalformedOneIsReported)
{
    BMessage sent(FourCC("LNCH"));
    sent.AddString("text", "hello");
    // Hex digits of the flattened message: the header (magic, what, one
    // field), then the field "text" (name, type, count, length, value).
    const std::string header = "47574d0148434e4c01000000";
    const std::string field = "047465787452545343010000000500000068656c6c6f";
    setenv("GW_LAUNCH_MESSAGE", (header + field).c_str(), 1);
    std::unique_ptr<BMessage> received = LaunchMessage::Take();
    ASSERT_NE(received, nullptr);
    EXPECT_EQ(*received, sent);
    EXPECT_EQ(getenv("GW_LAUNCH_MESSAGE"), nullptr);
    EXPECT_EQ(LaunchMessage::Take(), nullptr);

    for (const char* value : { "abc", "zz", "00000000", "" }) {
        setenv("GW_LAUNCH_MESSAGE", value, 1);
        testing::internal::CaptureStderr();
        EXPECT_EQ(LaunchMessage::Take(), nullptr) << value;
        std::string error = testing::internal::GetCapturedStderr();
        EXPECT_EQ(error.rfind("gondavel_wubbix: couldn't read the launch message: ", 0), 0u)
            << error;
        EXPECT_EQ(getenv("GW_LAUNCH_MESSAGE"), nullptr);
    }
}

// This process registers in a private runtime directory and publishes
// descriptions of itself; it reads them back by pid as a tool would.
class InstanceInfoTest : public testing::Test {
protected:
    static constexpr const char* kSignature = "application/x-vnd.gw-info-test";

    void SetUp() override
    {
        char pattern[] = "/tmp/gw-info-test.XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        fRuntime = pattern;
        setenv("XDG_RUNTIME_DIR", fRuntime.c_str(), 1);
        auto server = RosterServer::Start(kSignature, [](MessageTarget, const BMessage&) {});
        ASSERT_TRUE(server) << server.reason();
        fServer = std::move(*server);
        auto directory = RegistryDirectory::Open(kSignature);
        ASSERT_TRUE(directory) << directory.reason();
        fDirectory = (*directory)->Path();
    }
    void TearDown() override
    {
        fServer.reset();
        unsetenv("XDG_RUNTIME_DIR");
        std::filesystem::remove_all(fRuntime);
    }

    status_t Read(BMessage* info, int pid = getpid(), const char* signature = kSignature)
    {
        Result<BMessage> read = be_roster->GetInstanceInfo(signature, pid);
        *info = read.value_or(BMessage());
        return read.code();
    }
    std::string InfoPath(int pid = getpid()) const
    {
        return fDirectory + "/" + std::to_string(pid) + ".info";
    }
    void WriteFile(const std::string& path, const std::string& bytes) const
    {
        std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
    }

    std::string fRuntime;
    std::string fDirectory;
    std::unique_ptr<RosterServer> fServer;
};

TEST_F(InstanceInfoTest, PublishedDescriptionReadsBackUntilTheEntryGoes)
{
    BMessage info;
    EXPECT_EQ(Read(&info), B_NAME_NOT_FOUND);

    BMessage first;
    first.AddInt32("index", 2);
    first.AddString("title", "ndavel_wubbixgo");
    ASSERT_TRUE(fServer->PublishInfo(first));
    EXPECT_EQ(Read(&info), B_OK);
    EXPECT_EQ(info, first);

    BMessage second(FourCC("next"));
    second.AddString("title", "");
    ASSERT_TRUE(fServer->PublishInfo(second));
    EXPECT_EQ(Read(&info), B_OK);
    EXPECT_EQ(info, second);
    // Only the description itself is left beside the entry.
    EXPECT_FALSE(std::filesystem::exists(InfoPath() + ".new"));

    // Other pids and signatures have no live entry.
    EXPECT_EQ(Read(&info, 999999999), B_ENTRY_NOT_FOUND);
    EXPECT_EQ(Read(&info, getpid(), "application/x-vnd.gw-info-test-other"), B_ENTRY_NOT_FOUND);
    EXPECT_EQ(Read(&info, 0), B_BAD_VALUE);

    fServer.reset();
    EXPECT_FALSE(std::filesystem::exists(InfoPath()));
    EXPECT_EQ(Read(&info), B_ENTRY_NOT_FOUND);
}

TEST_F(InstanceInfoTest, MalformedOrOversizedDescriptionIsBadDataAndADeadEntryTakesItsAlong)
{
    BMessage info(FourCC("keep"));
    info.AddInt32("index", 1);
    std::vector<uint8> flat = info.Flatten();
    // Cut short, then padded past the limit: neither is taken.
    WriteFile(InfoPath(), std::string(flat.begin(), flat.end() - 1));
    EXPECT_EQ(Read(&info), B_BAD_DATA);
    WriteFile(InfoPath(), std::string(BMessage::kMaxFlattenedSize + 1, 'x'));
    EXPECT_EQ(Read(&info), B_BAD_DATA);
    std::filesystem::remove(InfoPath());
    std::filesystem::create_directory(InfoPath());
    EXPECT_EQ(Read(&info), B_BAD_DATA);
    std::filesystem::remove(InfoPath());

    // The entry of a process that is gone: its lock file is not locked.
    const int dead = 999999998;
    WriteFile(fDirectory + "/" + std::to_string(dead) + ".lock", "");
    WriteFile(InfoPath(dead), std::string(flat.begin(), flat.end()));
    EXPECT_EQ(Read(&info, dead), B_ENTRY_NOT_FOUND);
    BList running;
    ASSERT_EQ(be_roster->GetAppList(kSignature, &running), B_OK);
    EXPECT_EQ(running.CountItems(), 1);
    EXPECT_FALSE(std::filesystem::exists(InfoPath(dead)));
}

TEST_F(InstanceInfoTest, AnotherEntryWithTheSamePidLeavesTheLiveOnesFilesAlone)
{
    // A process with our pid in another pid namespace, sharing the
    // directory, can't take the entry, and touches none of its files.
    BMessage info;
    info.AddInt32("index", 0);
    ASSERT_TRUE(fServer->PublishInfo(info));
    auto directory = RegistryDirectory::Open(kSignature);
    ASSERT_TRUE(directory) << directory.reason();
    auto second = RegistryEntry::Create(**directory);
    EXPECT_EQ(second.code(), B_NOT_ALLOWED) << second.reason();
    BMessage read;
    EXPECT_EQ(Read(&read), B_OK);
    EXPECT_EQ(read, info);
}

TEST(ReplyChannel, ASenderGetsNoReplyOrTimesOutAndRefusesBadReplies)
{
    // What the instance's end sends, then whether it is done.
    BMessage reply;
    auto receive = [&reply](const std::vector<uint8>& bytes, bool done) {
        int ends[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK, 0, ends), 0);
        if (!bytes.empty())
            send(ends[1], bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (done)
            shutdown(ends[1], SHUT_WR);
        Result<BMessage> received = ReplyChannel::Receive(ends[0],
            std::chrono::steady_clock::now() + std::chrono::milliseconds(300));
        reply = received.value_or(BMessage());
        close(ends[0]);
        close(ends[1]);
        return received.code();
    };
    EXPECT_EQ(receive({}, true), B_OK);
    EXPECT_EQ(reply, BMessage(B_NO_REPLY));
    EXPECT_EQ(receive({}, false), B_TIMED_OUT);
    // Declared past the limit, cut short, in a packet past 64 KiB.
    EXPECT_EQ(receive({ 0, 0, 16, 0 }, false), B_BAD_VALUE);
    EXPECT_EQ(receive({ 12, 0, 0, 0, 'G', 'W', 'M' }, true), B_BAD_VALUE);
    EXPECT_EQ(receive(std::vector<uint8>(65537, 0), true), B_BAD_VALUE);
}

} // namespace
