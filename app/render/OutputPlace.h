#pragma once

// Where a take goes: the directory that will hold it, kept open, and the
// name in it. It is looked up once, before anything is rendered, and from
// then on used only through the directory's descriptor, so nothing swapped
// in along the path later can send the take anywhere else.
//
// A symbolic link, at the end of the name or on the way to it, is followed
// only where the kernel's protected-links rule would follow it: the link is
// ours, or its directory's owner's, or its directory is not both sticky and
// world-writable. An existing file is replaced only if it is a regular file
// we may write, neither append-only nor immutable, and, in a sticky
// directory, ours or the directory owner's; where the directory is
// append-only, only a new name can be given.

#include "Result.h"

#include <sys/types.h>

#include <optional>
#include <string>

class OutputPlace {
public:
    // The place for `path`, or B_BAD_VALUE and the reason the take can't go
    // there.
    static Result<OutputPlace> Find(const std::string& path);
    ~OutputPlace();

    OutputPlace(OutputPlace&& other) noexcept;
    OutputPlace& operator=(OutputPlace&&) = delete;
    OutputPlace(const OutputPlace&) = delete;
    OutputPlace& operator=(const OutputPlace&) = delete;

    // The directory, opened with O_PATH.
    int Directory() const { return fDirectory; }
    // The entry in it that the take will replace or create.
    const std::string& Name() const { return fName; }
    // The permission bits of the file the take replaces, without setuid,
    // setgid and sticky bits; nothing when there is no file yet.
    std::optional<mode_t> ReplacedMode() const { return fReplacedMode; }
    // The access ACL of the file the take replaces, as the kernel keeps it
    // in "system.posix_acl_access"; empty when it has none.
    const std::string& ReplacedAcl() const { return fReplacedAcl; }
    // Whether the directory is append-only: a name can be added to it, but
    // none removed or replaced.
    bool AppendOnly() const { return fAppendOnly; }

private:
    OutputPlace(int directory, std::string name);

    int fDirectory;
    std::string fName;
    std::optional<mode_t> fReplacedMode;
    std::string fReplacedAcl;
    bool fAppendOnly = false;
};

// How a take that can't be written to `path` fails, for `why`.
Error CantWrite(const std::string& path, const std::string& why);
