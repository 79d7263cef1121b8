#include "WriteAccess.h"

#include <grp.h>
#include <pwd.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <vector>

namespace {

// The account database is read in turn: its enumeration has one position
// per process.
std::mutex gAccountsLock;

// Whether a user we don't trust belongs to the group `gid`: as a member, or
// through an account whose primary group it is. `name` gets the group's name.
bool GroupHoldsOthers(gid_t gid, std::string* name)
{
    std::vector<char> buffer(4096);
    group entry;
    group* found = nullptr;
    while (getgrgid_r(gid, &entry, buffer.data(), buffer.size(), &found) == ERANGE
        && buffer.size() < (1u << 20))
        buffer.resize(buffer.size() * 2);
    *name = found != nullptr ? found->gr_name : std::to_string(gid);
    std::vector<char> accountBuffer(4096);
    passwd account;
    passwd* user = nullptr;
    for (char** member = found != nullptr ? found->gr_mem : nullptr;
         member != nullptr && *member != nullptr; ++member) {
        // A member with no account is not known to be harmless.
        if (getpwnam_r(*member, &account, accountBuffer.data(), accountBuffer.size(), &user) != 0
            || user == nullptr || !WriteAccess::Trusted(user->pw_uid))
            return true;
    }
    std::lock_guard<std::mutex> guard(gAccountsLock);
    bool others = false;
    setpwent();
    while (!others
        && getpwent_r(&account, accountBuffer.data(), accountBuffer.size(), &user) == 0)
        others = user->pw_gid == gid && !WriteAccess::Trusted(user->pw_uid);
    endpwent();
    return others;
}

std::string UserName(uid_t uid)
{
    std::vector<char> buffer(4096);
    passwd entry;
    passwd* found = nullptr;
    getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found);
    return found != nullptr ? found->pw_name : std::to_string(uid);
}

// One entry of an access ACL as the kernel stores it in
// "system.posix_acl_access", little-endian, after a 4-byte version.
struct AclEntry {
    uint16_t tag;
    uint16_t permissions;
    uint32_t id;
};
constexpr uint32_t kAclVersion = 2;
constexpr uint16_t kAclUser = 0x02;
constexpr uint16_t kAclGroupOwner = 0x04;
constexpr uint16_t kAclGroup = 0x08;
constexpr uint16_t kAclMask = 0x10;
constexpr uint16_t kWrite = 02;

// The access ACL of the place open as `fd`; empty when it has none beyond
// its mode bits.
std::vector<AclEntry> AccessAcl(int fd)
{
    // By the descriptor's name in /proc, which works for O_PATH descriptors
    // too and leads to the very file that is open.
    std::string path = "/proc/self/fd/" + std::to_string(fd);
    std::vector<char> bytes(4096);
    ssize_t size;
    const char* const key = "system.posix_acl_access";
    while ((size = getxattr(path.c_str(), key, bytes.data(), bytes.size())) < 0 && errno == ERANGE
        && bytes.size() < (1u << 20))
        bytes.resize(bytes.size() * 2);
    uint32_t version = 0;
    if (size < static_cast<ssize_t>(sizeof(version)))
        return {};
    memcpy(&version, bytes.data(), sizeof(version));
    if (version != kAclVersion)
        return {};
    std::vector<AclEntry> entries((static_cast<size_t>(size) - sizeof(version)) / sizeof(AclEntry));
    memcpy(entries.data(), bytes.data() + sizeof(version), entries.size() * sizeof(AclEntry));
    return entries;
}

} // namespace

bool WriteAccess::Trusted(uid_t user)
{
    return user == geteuid() || user == 0;
}

std::string WriteAccess::OpenToOthers(int fd, const struct stat& info)
{
    if (S_ISDIR(info.st_mode) && (info.st_mode & S_ISVTX) != 0)
        return "";
    if ((info.st_mode & S_IWOTH) != 0)
        return "is writable by every user";
    std::string group;
    std::vector<AclEntry> acl = AccessAcl(fd);
    if (acl.empty()) {
        if ((info.st_mode & S_IWGRP) != 0 && GroupHoldsOthers(info.st_gid, &group))
            return "is writable by group " + group + ", which holds other users";
        return "";
    }
    // With an ACL, the group bits of the mode are its mask, which limits
    // what every named entry and the owning group's entry grant.
    uint16_t mask = 07;
    for (const AclEntry& entry : acl) {
        if (entry.tag == kAclMask)
            mask = entry.permissions;
    }
    for (const AclEntry& entry : acl) {
        if ((entry.permissions & mask & kWrite) == 0)
            continue;
        if (entry.tag == kAclUser && !Trusted(entry.id))
            return "gives user " + UserName(entry.id) + " write access in its ACL";
        if (entry.tag == kAclGroupOwner && GroupHoldsOthers(info.st_gid, &group))
            return "is writable by group " + group + ", which holds other users";
        if (entry.tag == kAclGroup && GroupHoldsOthers(entry.id, &group))
            return "gives group " + group + ", which holds other users, write access in its ACL";
    }
    return "";
}
