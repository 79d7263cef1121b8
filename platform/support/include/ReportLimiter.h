#pragma once

// Keeps lines that someone outside the process can trigger from flooding
// stderr. The first line of a kind goes out at once; more lines of that kind
// within the interval after it are only counted, and one line with the count
// goes out when the interval ends (Flush()) or, at the latest, with the next
// line of that kind. A kind is what failed and a short, fixed label for why,
// which the count line repeats. An object belongs to one thread at a time.

#include <chrono>
#include <map>
#include <string>
#include <utility>

class ReportLimiter {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::seconds kInterval { 10 };

    ReportLimiter() = default;
    // Says the counts still held back.
    ~ReportLimiter();
    ReportLimiter(const ReportLimiter&) = delete;
    ReportLimiter& operator=(const ReportLimiter&) = delete;

    // "couldn't <what>: <why>", as ReportFailure() says it, or counted as
    // one more of the kind (`what`, `label`).
    void Failure(const std::string& what, const std::string& label, const std::string& why,
        Clock::time_point now = Clock::now());
    // Says the count of every kind whose interval has ended; a kind that was
    // counted starts a new interval.
    void Flush(Clock::time_point now = Clock::now());
    // When the next count is due; Clock::time_point::max() when none is.
    Clock::time_point NextFlush() const;

private:
    struct Kind {
        Clock::time_point until;
        unsigned long long held = 0;
    };
    using Key = std::pair<std::string, std::string>;
    static void SayCount(const Key& key, Kind& kind);

    std::map<Key, Kind> fKinds;
};
