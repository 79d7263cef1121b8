#pragma once

// The program's lines on stderr. Each goes out in a single write, so lines
// of several threads, or of instances sharing a terminal, never mix; a
// write that fails (stderr closed, its reader gone) is dropped. Safe from
// any thread.

#include "Result.h"

#include <string>

// `text` with what a terminal would take for a command written as a C
// escape (\n, \t, \xHH): control characters, C1 ones in UTF-8 included,
// and bytes that are no UTF-8. So a name, whoever chose it, can't break a
// line in two or reach the terminal. Every line below is written so.
std::string Printable(const std::string& text);

// "gondavel_wubbix: couldn't <what>: <why>", the shape of every failure the
// program reports.
void ReportFailure(const std::string& what, const std::string& why);
void ReportFailure(const std::string& what, const Error& error);
// "gondavel_wubbix: <text>", for what is worth saying but is no failure.
void ReportLine(const std::string& text);
