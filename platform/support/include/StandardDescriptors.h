#pragma once

// Descriptors 0, 1 and 2 as every program of ours expects them: open. A
// process started with one of them closed would otherwise hand that number
// to the next file it opens, and its messages would go into that file.
// Called first thing in main(), before any other descriptor is opened.

#include "Result.h"

// Opens /dev/null onto any of standard input, output and error that is
// closed; an error, with the reason, when /dev/null can't be opened.
Result<> OpenStandardDescriptors();
