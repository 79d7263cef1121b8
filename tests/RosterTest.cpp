// The registry's directory checks, with a temporary directory standing in
// for /tmp, and the launch message as a new instance reads it.

#include "platform/Message.h"
#include "platform/RegistryDirectory.h"
#include "platform/RosterServer.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

constexpr const char* kSignature = "application/x-vnd.gw-roster-test";

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
        fError = B_OK;
        fReason.clear();
        return RegistryDirectory::OpenUnder(fBase, "gw-roster-0", kSignature, create, &fError,
            &fReason);
    }
    std::string Root() const { return fBase + "/gw-roster-0"; }

    std::string fBase;
    status_t fError = B_OK;
    std::string fReason;
};

// The signature's directory is named by its 64-bit FNV-1a hash.
TEST_F(RegistryDirectoryTest, CreatesPrivateLevelsNamedByTheSignatureHash)
{
    auto directory = Open();
    ASSERT_NE(directory, nullptr) << fReason;
    EXPECT_EQ(directory->Path(), Root() + "/0e22512666e4fb4a");
    struct stat info;
    for (const std::string& level : { Root(), directory->Path() }) {
        ASSERT_EQ(lstat(level.c_str(), &info), 0);
        EXPECT_TRUE(S_ISDIR(info.st_mode));
        EXPECT_EQ(info.st_mode & 0777, 0700u) << level;
        EXPECT_EQ(info.st_uid, geteuid());
    }
    // Opened again, the same directory is accepted as it is.
    EXPECT_NE(Open(), nullptr) << fReason;
}

TEST_F(RegistryDirectoryTest, MissingLevelIsNotCreatedUnlessAsked)
{
    EXPECT_EQ(Open(false), nullptr);
    EXPECT_EQ(fError, B_ENTRY_NOT_FOUND);
    EXPECT_FALSE(std::filesystem::exists(Root()));
}

TEST_F(RegistryDirectoryTest, RefusesADirectoryOpenToOtherUsers)
{
    ASSERT_EQ(mkdir(Root().c_str(), 0700), 0);
    ASSERT_EQ(chmod(Root().c_str(), 0755), 0);
    EXPECT_EQ(Open(), nullptr);
    EXPECT_EQ(fError, B_NOT_ALLOWED);
    EXPECT_EQ(fReason, "registry " + Root() + ": is open to other users (mode 0755)");
}

TEST_F(RegistryDirectoryTest, RefusesASymbolicLinkEvenToAGoodDirectory)
{
    std::string target = fBase + "/elsewhere";
    ASSERT_EQ(mkdir(target.c_str(), 0700), 0);
    ASSERT_EQ(symlink(target.c_str(), Root().c_str()), 0);
    EXPECT_EQ(Open(), nullptr);
    EXPECT_EQ(fReason, "registry " + Root() + ": is a symbolic link");
    EXPECT_TRUE(std::filesystem::is_empty(target));
}

TEST_F(RegistryDirectoryTest, RefusesAPlainFile)
{
    FILE* file = fopen(Root().c_str(), "w");
    ASSERT_NE(file, nullptr);
    fclose(file);
    EXPECT_EQ(Open(), nullptr);
    EXPECT_EQ(fReason, "registry " + Root() + ": is not a directory");
}

TEST_F(RegistryDirectoryTest, RefusesADirectoryOfAnotherOwner)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to give a directory away";
    ASSERT_EQ(mkdir(Root().c_str(), 0700), 0);
    ASSERT_EQ(chown(Root().c_str(), 65534, 65534), 0);
    EXPECT_EQ(Open(), nullptr);
    EXPECT_EQ(fReason, "registry " + Root() + ": is owned by uid 65534, not 0");
}

TEST(LaunchMessage, IsTakenOnceFromTheEnvironment)
{
    BMessage sent(FourCC("LNCH"));
    sent.AddString("text", "hello");
    std::string hex;
    for (uint8 byte : sent.Flatten()) {
        char digits[3];
        snprintf(digits, sizeof(digits), "%02x", byte);
        hex += digits;
    }
    setenv("GW_LAUNCH_MESSAGE", hex.c_str(), 1);
    std::unique_ptr<BMessage> received = RosterServer::TakeLaunchMessage();
    ASSERT_NE(received, nullptr);
    EXPECT_EQ(*received, sent);
    EXPECT_EQ(getenv("GW_LAUNCH_MESSAGE"), nullptr);
    EXPECT_EQ(RosterServer::TakeLaunchMessage(), nullptr);
}

TEST(LaunchMessage, MalformedValueGivesNoMessage)
{
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
