#pragma once

// The program's lines on stderr. Each starts with the name the program
// gives itself, once, first thing in main(): every program of ours reports
// through here, the platform's own lines included. Each line goes out in a
// single write, so lines of several threads, or of instances sharing a
// terminal, never mix; a write that fails (stderr closed, its reader gone)
// is dropped. Safe from any thread.

#include "Result.h"

#include <string>

// Names the program: the start of each of its lines, and what the platform
// shows it as elsewhere (a sound server lists its stream under that name
// until told otherwise, with the icon the icon theme has by that name).
// `name` must outlive the process's last line. Until it is called, the name
// is that of the program's file.
void SetProgramName(const char* name);
const char* ProgramName();

// `text` with what a terminal would take for a command written as a C
// escape (\n, \t, \xHH): control characters, C1 ones in UTF-8 included,
// and bytes that are no UTF-8. So a name, whoever chose it, can't break a
// line in two or reach the terminal. Every line below is written so.
std::string Printable(const std::string& text);

// "<program>: <text>" and the line's end, `text` made printable: the line
// ReportLine() writes, for a caller that writes it its own way.
std::string ReportedLine(const std::string& text);

// "<program>: couldn't <what>: <why>", the shape of every failure the
// program reports.
void ReportFailure(const std::string& what, const std::string& why);
void ReportFailure(const std::string& what, const Error& error);
// "<program>: <text>", for what is worth saying but is no failure.
void ReportLine(const std::string& text);
// ReportLine() for a thread that may not allocate, such as the sound's:
// `text` goes out as it is, so it must need no escaping.
void ReportPlainLine(const char* text);
