// The ways this program can watch a Linux session, and the one chosen at start-up. Each way's
// file supplies one WatchWay; choose_way.cpp picks the first that can watch this session, and
// GetCursorPos reads through it.
//
// A way never stays armed and blind: when its source goes away while watching (a restarted
// compositor or shell, a broken connection), it writes one line on standard error, every read
// fails until the source is back, and the source's return counts as input, since input given in
// the gap cannot be ruled out.
#pragma once

#include "linux.h"
#include "platform_api.h"

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

// How long a read waits, at most, to connect again to a source that went away: reads come
// every 100 ms, and each must be quick.
constexpr std::int64_t kReconnectTimeoutMs = 50;

// Keeps the first way that can watch this session, or ends the process with status 2 and one
// line on standard error. The start-up sequence's first step (start_up.cpp), before the banner.
void ChooseWatchWay();
