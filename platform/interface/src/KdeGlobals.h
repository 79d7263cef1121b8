#pragma once

// KdeGlobals: whether KDE's settings file, kdeglobals, turns animations
// off: AnimationDurationFactor=0 in its [KDE] group, which is what setting
// the animation speed to "instant" writes. The file is read once, then
// again whenever it has changed: at most once a second the watch looks at
// what stat() says of it (KDE saves it by renaming a new file over it, an
// editor by writing it). Not inotify: a user may run a hundred instances,
// and that would leave none of the 128 inotify instances a user gets by
// default to the user's other programs. A watch belongs to one thread.

#include "SupportDefs.h"

#include <array>
#include <optional>
#include <string>
#include <string_view>

class KdeGlobals {
public:
    // Files larger than this are read only this far.
    static constexpr size_t kMaxSize = 1 << 20;
    static constexpr bigtime_t kCheckInterval = 1000000;

    // Watches kdeglobals in $XDG_CONFIG_HOME, or else in ~/.config, and
    // reads it now.
    KdeGlobals();

    // From the text of a kdeglobals file: true when the factor is 0, false
    // for any other number, nothing when it is not set or not a number
    // that is 0 or more.
    static std::optional<bool> AnimationsOff(std::string_view text);
    // The same from the file at `path`, if it is a regular file; anything
    // else (a FIFO, say) is not waited on and counts as no file.
    static std::optional<bool> ReadAnimationsOff(const std::string& path);

    std::optional<bool> AnimationsOffNow() const { return fValue; }
    // Looks at the file, unless it did less than kCheckInterval before
    // `now` (system_time()), and reads it again if it has changed.
    void Update(bigtime_t now);

private:
    // What stat() says of the file that tells one version from another:
    // device, inode, size, and the times of the last change; zeros when
    // there is no file.
    using Version = std::array<int64, 6>;
    Version CurrentVersion() const;

    std::string fPath;
    Version fVersion {};
    bigtime_t fChecked = 0;
    std::optional<bool> fValue;
};
