#pragma once

// What this process knows about itself as an instance: the absolute path of
// its own executable, read once at start-up (before anyone can delete or
// replace the file), and the signature it registered under, if any. Any
// thread may call these.

#include <string>

class ProcessIdentity {
public:
    // The executable's path as the kernel reported it at start-up; empty if
    // it couldn't be read. Ends in " (deleted)" if the file was already gone.
    static const std::string& ExecutablePath();

    // The signature this process runs as (RosterServer sets it whether or
    // not it can register the process), or empty.
    static std::string Signature();
    static void SetSignature(const std::string& signature);
};
