#pragma once

// The control tool's record command: asks running instances for their
// voices' state at one moment and writes what they will play from then on,
// mixed as the renderer mixes, to a file, far faster than real time. The
// instances play on undisturbed. The main thread only.

#include <string>
#include <vector>

// Runs `record` with `arguments`, those after the command's name; the
// tool's exit status.
int Record(const std::vector<std::string>& arguments);
