#include <cstdlib>

#include "console/console_messages.h"
#include "watch/command_line.h"

// The options, told apart by their place here: the first two give the grace period ("--grace="
// begins an argument, "--grace" is followed by one), the third asks for the version, and the
// rest for help (the last, the platform's own way of asking: /? on Windows).
static const char* const kOptions[] = {"--grace=", "--grace", "--version",
                                       "--help",   "-h",      kPlatformHelpOption};
enum { kGraceIsOption, kGraceOption, kVersionOption };
constexpr int kOptionCount = sizeof kOptions / sizeof kOptions[0];
// What ReadArguments returns when the arguments ask for no answer: the program watches.
constexpr int kWatch = -1;

// What follows `option` in `argument`, or null when the argument does not begin with it.
static const char* After(const char* option, const char* argument) {
  for (; *option != '\0'; ++option, ++argument) {
    if (*option != *argument) {
      return nullptr;
    }
  }
  return argument;
}

// Reads the arguments into `*graceMs`; kWatch, or the answer they ask for, with `*named` the
// argument it names.
static int ReadArguments(int argc, char** argv, DWORD* graceMs, const char** named) {
  for (int i = 1; i < argc; ++i) {
    const char* seconds = nullptr;
    int option = 0;
    for (; option < kOptionCount; ++option) {
      seconds = After(kOptions[option], *named = argv[i]);
      if (seconds != nullptr && (option == kGraceIsOption || *seconds == '\0')) {
        break;
      }
    }
    if (option > kGraceOption) {
      return option == kOptionCount     ? kUnknownArgument
             : option == kVersionOption ? kVersionAnswer
                                        : kUsageAnswer;
    }
    if (option == kGraceOption) {
      if (++i == argc) {
        return kGraceWithoutSeconds;
      }
      seconds = argv[i];  // whatever it is: "--grace --help" is refused
    }
    // Digits alone, at most kMaxGraceSeconds however many there are (leading zeros, a number
    // past any integer type).
    *named = seconds;
    DWORD value = 0;
    do {
      if (*seconds < '0' || *seconds > '9' ||
          (value = value * 10 + static_cast<DWORD>(*seconds - '0')) > kMaxGraceSeconds) {
        return kBadGraceSeconds;
      }
    } while (*++seconds != '\0');
    *graceMs = value * 1000;
  }
  return kWatch;
}

DWORD ReadCommandLine(int argc, char** argv) {
  DWORD graceMs = kStartDelayMs;
  const char* named = nullptr;
  const int answer = ReadArguments(argc, argv, &graceMs, &named);
  if (answer != kWatch) {
    WriteAnswer(static_cast<CommandLineAnswer>(answer), named);
    exit(answer <= kVersionAnswer ? EXIT_SUCCESS : kRefusedStatus);
  }
  return graceMs;
}
