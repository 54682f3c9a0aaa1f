// The program's texts and the operations that write them: the banner and the failure text while
// it watches, and the answers to its command line before that.
#pragma once

#include "platform_api.h"

// "开始" and a line feed, in the narrow encoding of the platform's console: GBK (code page 936)
// on Windows, UTF-8 elsewhere. Written with printf as its "%s" argument.
extern const char kStartBanner[];

// "鼠标位置获取失败" ("getting the mouse position failed"), eight UTF-16 code units and a
// terminating zero, no line break.
extern const WCHAR kCursorReadFailed[];
constexpr DWORD kCursorReadFailedLength = 8;

// Writes the banner to standard output once watching begins, and flushes standard output.
void PrintStartBanner();

// Shows the failure text on the console behind the standard-output handle taken at start-up.
// Nothing is shown when that handle is not a console.
void ReportCursorReadFailed();

// The answers to the command line, each written before anything is armed: the usage text
// (--help), the version line (--version), and the refusals of an unknown option or a stray word,
// of --grace as the last argument, and of seconds that are not a whole number from 0 to 3600.
enum CommandLineAnswer {
  kUsageAnswer,
  kVersionAnswer,
  kUnknownArgument,
  kGraceWithoutSeconds,
  kBadGraceSeconds
};

// The platform's own way of asking for help besides -h and --help: "/?" on Windows
// (usage_windows.cpp); elsewhere none, so --help once more (usage_gettext.cpp).
extern const char kPlatformHelpOption[];

// Writes `answer`: the usage text or the version line on standard output; a refusal as one line
// on standard error that names `argument` (the seconds, for kBadGraceSeconds) and points to
// --help. On Windows in Simplified Chinese (usage_windows.cpp), elsewhere in the language of the
// program's messages (usage_gettext.cpp).
void WriteAnswer(CommandLineAnswer answer, const char* argument);
