// The ways this program can watch a Linux session, and the one chosen at start-up. Each way's
// file supplies one WatchWay; choose_way.cpp picks the first that can watch this session, and
// GetCursorPos reads through it.
#pragma once

#include <cstdint>

#include "platform_api.h"

struct WatchWay {
  // What this session lacks when the way cannot watch it, for the one line of the refusal.
  const char* missing;
  // Whether the way can watch this session; called once, at start-up.
  bool (*Connect)();
  // GetCursorPos for this way: a position that changes at the user's first input (or first
  // pointer motion) after the first read.
  BOOL (*Read)(POINT* point);
};

extern const WatchWay kWaylandIdleWay;
extern const WatchWay kIdleMonitorWay;
extern const WatchWay kX11PointerWay;

// How long start-up waits for each source it asks: the compositor, a bus.
constexpr std::int64_t kStartUpTimeoutMs = 3000;

// Milliseconds on the monotonic clock, for the time limits of the ways' start-up.
std::int64_t MonotonicMs();

// Keeps the first way that can watch this session, or ends the process with status 2 and one
// line on standard error. Called before main, so the refusal comes before the banner.
void ChooseWatchWay();

// Ends the process with status 2 and one line on standard error where certainly nothing can
// lock this session (lock_session.cpp); a source too slow to tell is given the benefit of the
// doubt. Called right after ChooseWatchWay.
void RefuseWithoutLockRoute();
