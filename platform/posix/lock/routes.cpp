// The one place that walks the lock routes, in their order (kLockRoutes): at start-up, to refuse
// a session where certainly none of them can lock; and for the lock (LockWorkStation), until
// one sees the session locked.

#include <cstdlib>
#include <initializer_list>

#include "linux.h"
#include "lock_route.h"
#include "platform_api.h"

// In order: the first whose lock does not report kNotLocked ends the lock.
static const LockRoute* const kLockRoutes[] = {&kLogindRoute, &kScreenSaverRoute,
                                               &kXdgScreensaverRoute};
constexpr int kRouteCount = sizeof kLockRoutes / sizeof kLockRoutes[0];

static_assert(kRouteCount == 3, "the refusal names why each route cannot lock");

void RefuseWithoutLockRoute() {
  const char* why[kRouteCount] = {};
  for (const bool asksNoBus : {true, false}) {
    for (int i = 0; i < kRouteCount; ++i) {
      if (kLockRoutes[i]->asksNoBus == asksNoBus &&
          kLockRoutes[i]->CouldLock(MonotonicMs() + kStartUpTimeoutMs, &why[i]) != 0) {
        return;  // something may lock it, or a bus was too slow to be sure
      }
    }
  }
  Say("nothing can lock this session: %s, %s, and %s (for xdg-screensaver); not watching.",
      _(why[0]), _(why[1]), _(why[2]));
  exit(2);
}

BOOL LockWorkStation() {
  ClearTried();
  bool absent;
  Buses buses = {OpenBus(true, MonotonicMs() + kStartUpTimeoutMs, &absent), nullptr, false, false};
  buses.session = OpenBus(false, MonotonicMs() + kStartUpTimeoutMs, &absent);
  buses.sessionSilent = buses.session == nullptr && !absent;
  buses.grabTells = KeyboardGrabWillTell();
  LockOutcome outcome = kNotLocked;
  for (const LockRoute* route : kLockRoutes) {
    if ((outcome = route->Lock(buses)) != kNotLocked) {
      break;
    }
  }
  sd_bus_close_unref(buses.system);
  sd_bus_close_unref(buses.session);
  if (outcome == kNotLocked) {
    Say("the session was not locked: %s.", TriedSoFar());
  }
  return outcome != kNotLocked;
}
