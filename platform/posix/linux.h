// What every file of the Linux program may use, whichever side it serves (watching the session,
// or locking it): the program's texts in the user's language, the start-up time limit, and the
// helpers of linux.cpp (the process's set-up, the clock, the program's lines on standard error),
// which call neither side. Also the keyboard-grab question of an X11 session (x11_grab.cpp).
#pragma once

#include <libintl.h>

#include <cstdint>

// The program's texts in the user's language, where its message catalogue has them (Simplified
// Chinese): `_` translates a text where it is used, `N_` only marks one for the catalogue that
// is translated where it is written. Say, ReportSourceLost and the lock's one line translate
// what they are given.
constexpr char kTextDomain[] = "mousetrap";
#define _(text) dgettext(kTextDomain, text)
#define N_(text) text

// How long start-up waits for each source it asks: the compositor, a bus, the X server; and the
// lock for each bus it opens.
constexpr std::int64_t kStartUpTimeoutMs = 3000;

// Before anything else is opened or written: descriptors 0, 1 and 2 that are closed are opened
// on /dev/null, every other inherited one is kept from the lock command, the message catalogue
// is found, the program's own copy of standard error is taken, and SIGPIPE and SIGCHLD are set
// as the lock command needs them.
void SetUpProcess();

// Milliseconds on the monotonic clock, for every time limit of the program.
std::int64_t MonotonicMs();

// Writes "mousetrap: ", the text that `format` (translated) makes and a line feed, in one write, to
// the program's own copy of standard error, taken at start-up: a library that points standard error
// elsewhere for a while (x11_display.cpp) does not take the program's lines with it.
void Say(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Points standard error back at what it was at start-up; false when there is no copy of it, and
// standard error must then be left where it is.
bool RestoreStderr();

// The one line on standard error when a way's `source` (a text for the catalogue) goes away
// while watching.
void ReportSourceLost(const char* source);

// In an X11 session: 1 when another client holds the keyboard grab, as every X11 screen locker
// does while it shows, 0 when none does, -1 when the X server cannot be asked by `deadline`.
// Asked on the X11 way's connection when that way watches, else on one of its own.
int KeyboardHeldByAnother(std::int64_t deadline);
