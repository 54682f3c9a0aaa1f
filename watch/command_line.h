// The command line, read before anything else happens: the grace period, or an answer that
// ends the process before anything is armed.
#pragma once

#include "platform_api.h"

// The grace period, in milliseconds, when the command line gives none.
constexpr DWORD kStartDelayMs = 7000;
// The longest grace period --grace takes, in seconds.
constexpr DWORD kMaxGraceSeconds = 3600;
// The exit status for an argument refused; the same as the Linux build's "cannot watch or lock
// here": nothing was watched or locked.
constexpr int kRefusedStatus = 2;

// Reads the arguments, left to right, and returns the grace period in milliseconds. --help (-h;
// on Windows also /?) writes the usage text and --version the version line, to standard output,
// and end the process with status 0; anything else but --grace SECONDS or --grace=SECONDS (a
// whole number from 0 to kMaxGraceSeconds, the last one given counting) writes one line on
// standard error and ends it with kRefusedStatus.
DWORD ReadCommandLine(int argc, char** argv);
