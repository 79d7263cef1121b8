#pragma once

// What a mixer or a tool shows the instance as: the title the application
// published (see BApplication::SetInstanceInfo), else the program's name.
// Any thread may call these.

#include <string>

namespace InstanceLabel {

std::string Get();
void Set(const std::string& label);

} // namespace InstanceLabel
