// Which way this program watches the session, chosen once at start-up: the Wayland compositor's
// idle notifications, the desktop's idle monitor on the session bus, or the X pointer itself.

#include <cstdio>
#include <cstdlib>

#include "platform_api.h"
#include "watch_way.h"

// In order of preference. A Wayland session may also have an X display, which is Xwayland:
// it shows pointer motion only over X windows, so it comes last.
static const WatchWay* const kWays[] = {&kWaylandIdleWay, &kIdleMonitorWay, &kX11PointerWay};

static_assert(sizeof kWays / sizeof kWays[0] == 3, "the refusal names what each way lacks");

static const WatchWay* g_way = nullptr;

void ChooseWatchWay() {
  for (const WatchWay* way : kWays) {
    if (way->Connect()) {
      g_way = way;
      return;
    }
  }
  fprintf(stderr, "mousetrap: no way to watch this session: %s, %s, and %s; not watching.\n",
          kWays[0]->missing, kWays[1]->missing, kWays[2]->missing);
  exit(2);
}

BOOL GetCursorPos(POINT* point) {
  return g_way->Read(point);
}
