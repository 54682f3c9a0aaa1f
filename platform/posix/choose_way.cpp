// Which way this program watches the session, chosen once at start-up: the Wayland compositor's
// idle notifications, the desktop's idle monitor on the session bus, or the X pointer itself.

#include <cstdlib>

#include "platform_api.h"
#include "watch_way.h"

// In order of preference. A Wayland session may also have an X display, which is Xwayland:
// it shows pointer motion only over X windows, so it comes last.
static const WatchWay* const kWays[] = {&kWaylandIdleWay, &kIdleMonitorWay, &kX11PointerWay};
constexpr int kWayCount = sizeof kWays / sizeof kWays[0];

static_assert(kWayCount == 3, "the refusal names what each way lacks");

static const WatchWay* g_way = nullptr;

void ChooseWatchWay() {
  const char* missing[kWayCount] = {};
  for (int i = 0; i < kWayCount; ++i) {
    if (kWays[i]->Connect(&missing[i])) {
      g_way = kWays[i];
      return;
    }
  }
  Say("no way to watch this session: %s, %s, and %s; not watching.", _(missing[0]), _(missing[1]),
      _(missing[2]));
  exit(2);
}

BOOL GetCursorPos(POINT* point) {
  if (g_way->Read != nullptr) {
    return g_way->Read(point);
  }
  const LONG inputs = g_way->CountInputs();
  if (inputs < 0) {
    return 0;
  }
  point->x = inputs;
  point->y = 0;
  return 1;
}
