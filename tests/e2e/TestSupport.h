#pragma once

// Helpers shared by the end-to-end tests: reading a whole file (a program's
// output, a recording) and picking lines out of it, waiting with a deadline,
// and handing the sanitizers' settings to a child given an environment of
// its own. Plain functions, safe from any thread.

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

// The whole file; empty if it can't be read.
inline std::string ReadFile(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

// Replaces the file at `path` with `text`.
inline void WriteFile(const std::string& path, const std::string& text) { std::ofstream(path) << text; }

// What the tests know of the build they belong to (ThisBuild.cpp, the one
// file the build's directory is compiled into, so that all the rest is the
// same in every build): where it put the programs they run, and whether it
// built them with the sanitizers, whose instances are several times bigger
// and slower. kPlayFixedPath is empty where the benchmarks aren't built.
extern const char* const kProgramPath;
extern const char* const kCtlPath;
extern const char* const kRenderPath;
extern const char* const kPlayFixedPath;
extern const char* const kRosterProbePath;
extern const char* const kWindowProbePath;
extern const bool kSanitized;

// How many times `needle` occurs in `text`, overlaps included.
inline size_t CountOf(const std::string& text, const std::string& needle)
{
    size_t count = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
        count++;
    return count;
}

// The lines of `text`, without their line ends.
inline std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);)
        lines.push_back(line);
    return lines;
}

// The lines of `text` that start with `prefix`.
inline std::vector<std::string> LinesStartingWith(const std::string& text,
    const std::string& prefix)
{
    std::vector<std::string> lines = Lines(text);
    std::erase_if(lines, [&](const std::string& line) { return !line.starts_with(prefix); });
    return lines;
}

// Polls `done` every `interval` until it holds or `timeout` passes; whether
// it held. Polls that start a program (pactl, the control tool) go slower.
inline bool WaitUntil(const std::function<bool()>& done,
    std::chrono::milliseconds timeout = std::chrono::seconds(20),
    std::chrono::milliseconds interval = std::chrono::milliseconds(10))
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(interval);
    }
    return true;
}

// Whether `program` is an executable file in one of PATH's directories.
inline bool OnPath(const std::string& program)
{
    const char* path = getenv("PATH");
    std::istringstream directories(path != nullptr ? path : "/usr/bin:/bin");
    for (std::string directory; std::getline(directories, directory, ':');) {
        if (access((directory + "/" + program).c_str(), X_OK) == 0)
            return true;
    }
    return false;
}

// "PATH=..." as this process has it, for a server or a client of one.
inline std::string PathVariable()
{
    const char* path = getenv("PATH");
    return std::string("PATH=") + (path != nullptr ? path : "/usr/bin:/bin");
}

// "NAME=value" for each sanitizer setting of this process.
inline std::vector<std::string> SanitizerEnvironment()
{
    std::vector<std::string> environment;
    for (const char* name : { "ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS" }) {
        if (const char* value = getenv(name))
            environment.push_back(std::string(name) + "=" + value);
    }
    return environment;
}
