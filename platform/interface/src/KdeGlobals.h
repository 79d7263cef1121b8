#pragma once

// KdeGlobals: whether KDE's settings file, kdeglobals, turns animations
// off: AnimationDurationFactor=0 in its [KDE] group, which is what setting
// the animation speed to "instant" writes. The file is read once, then
// again whenever it changes: the directory it lives in is watched
// (inotify), since KDE saves the file by renaming a new one over it. A
// watch belongs to one thread.

#include <optional>
#include <string>
#include <string_view>

class KdeGlobals {
public:
    // Files larger than this are read only this far.
    static constexpr size_t kMaxSize = 1 << 20;

    // Watches kdeglobals in $XDG_CONFIG_HOME, or else in ~/.config. When
    // that directory doesn't exist, the file is never read.
    KdeGlobals();
    ~KdeGlobals();

    KdeGlobals(const KdeGlobals&) = delete;
    KdeGlobals& operator=(const KdeGlobals&) = delete;

    // From the text of a kdeglobals file: true when the factor is 0, false
    // for any other number, nothing when it is not set or not a number
    // that is 0 or more.
    static std::optional<bool> AnimationsOff(std::string_view text);
    // The same from the file at `path`, if it is a regular file; anything
    // else (a FIFO, say) is not waited on and counts as no file.
    static std::optional<bool> ReadAnimationsOff(const std::string& path);

    std::optional<bool> AnimationsOffNow() const { return fValue; }
    // Reads the file again if it changed. It never waits.
    void Update();

private:
    std::string fPath;
    int fInotify = -1;
    std::optional<bool> fValue;
};
