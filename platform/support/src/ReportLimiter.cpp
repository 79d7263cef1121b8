#include "ReportLimiter.h"

#include "Report.h"

ReportLimiter::~ReportLimiter()
{
    for (auto& [key, kind] : fKinds)
        SayCount(key, kind);
}

void ReportLimiter::Failure(const std::string& what, const std::string& label,
    const std::string& why, Clock::time_point now)
{
    Key key { what, label };
    auto found = fKinds.find(key);
    if (found != fKinds.end() && now < found->second.until) {
        found->second.held++;
        return;
    }
    if (found != fKinds.end())
        SayCount(key, found->second);
    ReportFailure(what, why);
    fKinds[key] = Kind { now + kInterval, 0 };
}

void ReportLimiter::Flush(Clock::time_point now)
{
    for (auto it = fKinds.begin(); it != fKinds.end();) {
        Kind& kind = it->second;
        if (now < kind.until) {
            ++it;
        } else if (kind.held > 0) {
            SayCount(it->first, kind);
            kind.until = now + kInterval;
            ++it;
        } else {
            it = fKinds.erase(it);
        }
    }
}

ReportLimiter::Clock::time_point ReportLimiter::NextFlush() const
{
    Clock::time_point next = Clock::time_point::max();
    for (const auto& [key, kind] : fKinds) {
        if (kind.held > 0 && kind.until < next)
            next = kind.until;
    }
    return next;
}

void ReportLimiter::SayCount(const Key& key, Kind& kind)
{
    if (kind.held == 0)
        return;
    ReportFailure(key.first, key.second + " (" + std::to_string(kind.held) + " more " + (kind.held == 1 ? "time" : "times") + " in " + std::to_string(kInterval.count()) + " s)");
    kind.held = 0;
}
