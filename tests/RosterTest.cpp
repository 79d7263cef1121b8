// The registry's directory checks, with a temporary directory standing in
// for /tmp, and the launch message as a new instance reads it.

#include "platform/Message.h"
#include "platform/RegistryDirectory.h"
#include "platform/RosterServer.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
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

    std::unique_ptr<RegistryDirectory> Open(bool create = true)
    {
        return RegistryDirectory::OpenUnder(fBase, "gw-roster-0",
            "application/x-vnd.gw-roster-test", create, &fError, &fReason);
    }

    std::string Root() const { return fBase + "/gw-roster-0"; }

    std::string fBase;
    status_t fError = B_OK;
    std::string fReason;
};

TEST_F(RegistryDirectoryTest, CreatesPrivateLevelsNamedByTheSignatureHashOnlyWhenAsked)
{
    const std::string root = Root();
    EXPECT_EQ(Open(false), nullptr);
    EXPECT_EQ(fError, B_ENTRY_NOT_FOUND);
    EXPECT_FALSE(std::filesystem::exists(root));

    auto directory = Open();
    ASSERT_NE(directory, nullptr) << fReason;
    // The signature's 64-bit FNV-1a hash.
    EXPECT_EQ(directory->Path(), root + "/0e22512666e4fb4a");
    struct stat info;
    for (const std::string& level : { root, directory->Path() }) {
        ASSERT_EQ(lstat(level.c_str(), &info), 0);
        EXPECT_TRUE(S_ISDIR(info.st_mode));
        EXPECT_EQ(info.st_mode & 0777, 0700u) << level;
        EXPECT_EQ(info.st_uid, geteuid());
    }
    // Opened again, the same directory is accepted as it is.
    EXPECT_NE(Open(), nullptr) << fReason;
}

TEST_F(RegistryDirectoryTest, RefusesALevelThatIsNotADirectoryPrivateToTheUser)
{
    const std::string root = Root();
    auto expectRefused = [&](const std::string& why) {
        EXPECT_EQ(Open(), nullptr);
        EXPECT_EQ(fError, B_NOT_ALLOWED);
        EXPECT_EQ(fReason, "registry " + root + ": " + why);
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
}

TEST(LaunchMessage, IsTakenOnceFromTheEnvironmentAndAMalformedOneIsReported)
{
    BMessage sent(FourCC("LNCH"));
    sent.AddString("text", "hello");
    // Hex digits of the flattened message: header, then the field "text".
    setenv("GW_LAUNCH_MESSAGE",
        "47574d01" "48434e4c" "01000000" "0474657874" "52545343" "01000000" "05000000"
        "68656c6c6f", 1);
    std::unique_ptr<BMessage> received = RosterServer::TakeLaunchMessage();
    ASSERT_NE(received, nullptr);
    EXPECT_EQ(*received, sent);
    EXPECT_EQ(getenv("GW_LAUNCH_MESSAGE"), nullptr);
    EXPECT_EQ(RosterServer::TakeLaunchMessage(), nullptr);

    for (const char* value : { "abc", "zz", "00000000", "" }) {
        setenv("GW_LAUNCH_MESSAGE", value, 1);
        testing::internal::CaptureStderr();
        EXPECT_EQ(RosterServer::TakeLaunchMessage(), nullptr) << value;
        std::string error = testing::internal::GetCapturedStderr();
        EXPECT_EQ(error.rfind("gondavel_wubbix: couldn't read the launch message: ", 0), 0u)
            << error;
        EXPECT_EQ(getenv("GW_LAUNCH_MESSAGE"), nullptr);
    }
}

} // namespace
