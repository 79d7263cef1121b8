#pragma once

// What a mixer shows the instance as: the label the program gave it (see
// BApplication::SetInstanceLabel), else the program's name. Any thread may
// call these.

#include <string>

namespace InstanceLabel {

std::string Get();
void Set(const std::string& label);

} // namespace InstanceLabel
