#include "InstanceLabel.h"

#include "Report.h"

#include <mutex>

namespace {

std::mutex gLock;
std::string gLabel;

} // namespace

std::string InstanceLabel::Get()
{
    std::lock_guard<std::mutex> lock(gLock);
    return gLabel.empty() ? ProgramName() : gLabel;
}

void InstanceLabel::Set(const std::string& label)
{
    std::lock_guard<std::mutex> lock(gLock);
    gLabel = label;
}
