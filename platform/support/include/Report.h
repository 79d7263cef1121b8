#pragma once

// The program's lines on stderr. Each goes out in a single write, so lines
// of several threads, or of instances sharing a terminal, never mix; a
// write that fails (stderr closed, its reader gone) is dropped. Safe from
// any thread.

#include "Result.h"

#include <string>

// "gondavel_wubbix: couldn't <what>: <why>", the shape of every failure the
// program reports.
void ReportFailure(const std::string& what, const std::string& why);
void ReportFailure(const std::string& what, const Error& error);
// "gondavel_wubbix: <text>", for what is worth saying but is no failure.
void ReportLine(const std::string& text);
