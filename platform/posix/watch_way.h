// The ways this program can watch a Linux session, and the one chosen at start-up. Each way's
// file supplies one WatchWay; choose_way.cpp picks the first that can watch this session, and
// GetCursorPos reads through it.
//
// A way never stays armed and blind: when its source goes away while watching (a restarted
// compositor or shell, a broken connection), it writes one line on standard error, every read
// fails until the source is back, and the source's return counts as input, since input given in
// the gap cannot be ruled out.
#pragma once

#include <libintl.h>

#include <cstdint>

#include "platform_api.h"

// The program's texts in the user's language, where its message catalogue has them (Simplified
// Chinese): `_` translates a text where it is used, `N_` only marks one for the catalogue that
// is translated where it is written. Say, ReportSourceLost and the lock's one line translate
// what they are given.
constexpr char kTextDomain[] = "mousetrap";
#define _(text) dgettext(kTextDomain, text)
#define N_(text) text

struct WatchWay {
  // Whether the way can watch this session: connects to its source, waiting for each no longer
  // than kStartUpTimeoutMs. When not, `*missing` tells what this session lacks, for the one line
  // of the refusal. (An X display that is named but not up yet can be watched: it is connected
  // to at a later read.)
  bool (*Connect)(const char** missing);
  // GetCursorPos for a way that reads the pointer: a position that changes at the first pointer
  // motion after the first read. Null for a way that counts inputs instead.
  BOOL (*Read)(POINT* point);
  // For a way that reads no pointer: how many times the user has given input since the first
  // call (the first call asks for notice of input), or -1 when its source cannot be read now.
  // GetCursorPos gives (count, 0).
  LONG (*CountInputs)();
};

extern const WatchWay kWaylandIdleWay;
extern const WatchWay kIdleMonitorWay;
extern const WatchWay kX11PointerWay;

// How long start-up waits for each source it asks: the compositor, a bus, the X server.
constexpr std::int64_t kStartUpTimeoutMs = 3000;
// How long a read waits, at most, to connect again to a source that went away: reads come
// every 100 ms, and each must be quick.
constexpr std::int64_t kReconnectTimeoutMs = 50;

// Milliseconds on the monotonic clock, for the time limits of the ways.
std::int64_t MonotonicMs();

// The one line on standard error when a way's `source` (a text for the catalogue) goes away
// while watching.
void ReportSourceLost(const char* source);

// Writes "mousetrap: ", the text that `format` (translated) makes and a line feed, in one write, to
// the program's own copy of standard error, taken at start-up: a library that points standard error
// elsewhere for a while (x11.cpp) does not take the program's lines with it.
void Say(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Points standard error back at what it was at start-up; false when there is no copy of it, and
// standard error must then be left where it is.
bool RestoreStderr();

// In an X11 session: 1 when another client holds the keyboard grab, as every X11 screen locker
// does while it shows, 0 when none does, -1 when the X server cannot be asked by `deadline`.
// The X11 way's file supplies it, also where another way watches.
int KeyboardHeldByAnother(std::int64_t deadline);

// Keeps the first way that can watch this session, or ends the process with status 2 and one
// line on standard error. Called by PrepareToWatch, so the refusal comes before the banner.
void ChooseWatchWay();

// Ends the process with status 2 and one line on standard error where certainly nothing can
// lock this session (lock_session.cpp); a source too slow to tell is given the benefit of the
// doubt. Called right after ChooseWatchWay.
void RefuseWithoutLockRoute();
