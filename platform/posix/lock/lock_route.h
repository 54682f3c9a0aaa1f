// The ways this program can lock a Linux session (its routes), and what shows a session locked.
// Each route's file supplies one LockRoute: logind.cpp (the user's graphical session, its Lock
// and LockedHint), screen_saver.cpp (the desktop's screen saver on the session bus) and
// xdg_screensaver.cpp (the command, in an X11 session). routes.cpp lists them once, in their
// order, and walks them at start-up and for the lock; evidence.cpp tells when a session shows
// locked, and tried.cpp keeps what each route tried, for the one line of a failed lock.
#pragma once

#include <cstdint>

#include "bus.h"

// What a route came to.
enum LockOutcome {
  kSeenLocked,
  kAskedWhereNothingCanTell,  // logind took the request, and nothing here can tell whether it
                              // locked (a Wayland session with no screen saver: sway with swayidle)
  kNotLocked,                 // the next route is tried; Tried says why
};

// What the lock opens once, for every route: the buses, and whether the keyboard grab tells.
struct Buses {
  sd_bus* system;   // null when there is none
  sd_bus* session;  // likewise
  // The session bus is there but did not let us in in time: a screen saver on it may tell.
  bool sessionSilent;
  // In an X11 session, no client held the keyboard grab before the lock was asked for: once one
  // does, a locker shows (a grab held already, by a virtual machine's window or an open menu,
  // tells nothing).
  bool grabTells;
};

struct LockRoute {
  // At start-up: 1 when the route may lock this session, 0 when it certainly cannot, -1 when a
  // bus did not say by `deadline`. Unless 1, `*why` says why not (a text for the catalogue),
  // for the one line of the refusal.
  int (*CouldLock)(std::int64_t deadline, const char** why);
  // The start-up question asks no bus, and so is asked before the others: a session it settles
  // never waits for a bus at start-up.
  bool asksNoBus;
  // Asks for the lock and waits for the evidence; kNotLocked with Tried saying why.
  LockOutcome (*Lock)(const Buses& buses);
};

extern const LockRoute kLogindRoute;
extern const LockRoute kScreenSaverRoute;
extern const LockRoute kXdgScreensaverRoute;

// Ends the process with status 2 and one line on standard error where certainly no route can
// lock this session; a bus too slow to tell is given the benefit of the doubt. The start-up
// sequence's second step (start_up.cpp), right after ChooseWatchWay.
void RefuseWithoutLockRoute();

// logind on the system bus, and its sessions' interface (Lock, LockedHint).
constexpr char kLogind[] = "org.freedesktop.login1";
constexpr char kLogindSession[] = "org.freedesktop.login1.Session";

// A screen saver on the session bus; its name is also the name of its interface, with Lock and
// GetActive.
struct ScreenSaver {
  const char* name;
  const char* path;
};

inline constexpr ScreenSaver kScreenSavers[] = {
    {"org.freedesktop.ScreenSaver", "/ScreenSaver"},  // KDE Plasma, and others
    {"org.gnome.ScreenSaver", "/org/gnome/ScreenSaver"},
    {"org.cinnamon.ScreenSaver", "/org/cinnamon/ScreenSaver"},
    {"org.mate.ScreenSaver", "/org/mate/ScreenSaver"},
};
constexpr int kScreenSaverCount = sizeof kScreenSavers / sizeof kScreenSavers[0];

// How long a session that can tell is given to be seen locked once asked.
constexpr std::int64_t kSeenLockedMs = 2000;

// Why this is no X11 session, or null: DISPLAY names the session's own X server only where
// WAYLAND_DISPLAY is not set (in a Wayland session it names Xwayland).
const char* NoX11Session();

// Before any route asks: whether the keyboard grab will tell (an X11 session, and no client
// holds it now).
bool KeyboardGrabWillTell();

// Asks until `deadline` whether the session is locked: logind's LockedHint of the session at
// `path` (when there is one), the keyboard grab where it tells, and the GetActive of the screen
// savers from `first` to `last` that run. 1 once it is, 0 when something can tell but did not
// see it locked by `deadline`, -1 when nothing here can tell.
int SeenLocked(const Buses& buses, const char* path, const ScreenSaver* first,
               const ScreenSaver* last, std::int64_t deadline);

// Adds what a route tried and why it failed (`format`, translated, and its arguments) to the
// one line of a failed lock.
void Tried(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Empties that line, before the first route; and what it holds so far.
void ClearTried();
const char* TriedSoFar();
