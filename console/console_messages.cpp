// <stdio.h>, not <cstdio>, and before any other header: with MinGW, once a C++ library header
// has been read (<cstdio>, or <windows.h> on x86-64 through its intrinsics), <stdio.h> swaps in
// MinGW's own printf for the C runtime's.
#include <stdio.h>

#include "console/console_messages.h"

// Taken once, before main runs, and never closed: the failure text goes to the console that
// was standard output at start-up, whatever becomes of standard output later.
static const HANDLE g_hStdOut = GetStdHandle(STD_OUTPUT_HANDLE);

// Code units rather than a literal, so the text does not depend on how a compiler reads the
// source file.
const WCHAR kCursorReadFailed[] = {0x9F20, 0x6807, 0x4F4D, 0x7F6E, 0x83B7,
                                   0x53D6, 0x5931, 0x8D25, 0};
static_assert(sizeof kCursorReadFailed / sizeof kCursorReadFailed[0] == kCursorReadFailedLength + 1,
              "the count handed to the console write covers the whole text");

void PrintStartBanner() {
  printf("%s", kStartBanner);
  // Shown at once also when standard output is a pipe or a file, where the C runtime would
  // otherwise hold it until the process ends: it tells that watching has begun.
  fflush(stdout);
}

void ReportCursorReadFailed() {
  // The wide console write takes the text as it is stored, whatever the console's code page.
  WriteConsoleW(g_hStdOut, kCursorReadFailed, kCursorReadFailedLength, nullptr, nullptr);
}
