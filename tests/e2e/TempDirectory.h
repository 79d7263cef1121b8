#pragma once

// A private directory under /tmp, created with mode 0700 and removed with
// everything in it when the object goes away.

#include <string>

class TempDirectory {
public:
    // `prefix` starts the directory's name; random characters follow.
    explicit TempDirectory(const std::string& prefix);
    ~TempDirectory();

    TempDirectory(const TempDirectory&) = delete;
    TempDirectory& operator=(const TempDirectory&) = delete;

    const std::string& Path() const { return fPath; }
    // `name` inside the directory.
    std::string File(const std::string& name) const { return fPath + "/" + name; }

private:
    std::string fPath;
};
