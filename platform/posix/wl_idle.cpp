// Watching a Wayland session. No compositor tells a client where the pointer is, so this way
// asks for the compositor's idle notifications instead (ext_idle_notifier_v1, or KDE's
// org_kde_kwin_idle): with a timeout of zero the notification goes idle at once, and each time
// it resumes the user has given input. The count is the number of those resumptions. A
// compositor that goes away and comes back on the same socket (KWin restarts itself so after a
// crash) is connected to again, its return counts as input, and the new connection asks for
// its notification again. The connection itself is wl_compositor.cpp's.

#include <cstdint>
#include <cstdlib>

#include "platform_api.h"
#include "watch_way.h"
#include "wl_compositor.h"

constexpr std::uint32_t kIdleTimeoutMs = 0;
// How long the first read waits for the notification's first idle, which comes at once unless
// something holds idle off: as long as start-up waits for the compositor.
constexpr std::int64_t kFirstIdleMs = kStartUpTimeoutMs;

// Where the watch stands. What each state does when a read comes, when the notification goes
// idle, and when the connection breaks (a resumption is input in every state):
//
//   state        a read                                 idle                 broken
//   kConnecting  (start-up: waits for the globals; kReady once the compositor answers)
//   kReady       asks for the notification, kAsked      -                    kGone
//   kAsked       (that first read waits for the idle)   kWatching            kGone
//   kUnseen      fails: input cannot be seen            input, kWatching     kGone
//   kWatching    gives the count                        -                    kGone
//   kGone        fails; connects again: kRejoining      -                    -
//   kRejoining   fails; once the compositor answers:    -                    kGone
//                input, asks again, kUnseen
//
// kUnseen is a notification whose first idle has not come: the first read waited for it in
// vain (an idle inhibitor held when watching starts: a video playing; or a slow compositor), or
// the connection is a new one. Input meanwhile goes unseen, so reads fail and that idle counts
// as input. A read that counts input gives the count whatever the state, so it is never lost.
enum class Watch { kConnecting, kReady, kAsked, kUnseen, kWatching, kGone, kRejoining };

static Watch g_watch = Watch::kConnecting;
static LONG g_inputs = 0;

static void OnIdle() {
  if (g_watch == Watch::kUnseen) {
    ++g_inputs;
  }
  if (g_watch == Watch::kAsked || g_watch == Watch::kUnseen) {
    g_watch = Watch::kWatching;
  }
}

static void OnResumed() {
  ++g_inputs;
}

static void OnExtIdle(void*, ext_idle_notification_v1*) {
  OnIdle();
}
static void OnExtResumed(void*, ext_idle_notification_v1*) {
  OnResumed();
}
static void OnKdeIdle(void*, org_kde_kwin_idle_timeout*) {
  OnIdle();
}
static void OnKdeResumed(void*, org_kde_kwin_idle_timeout*) {
  OnResumed();
}

static const ext_idle_notification_v1_listener kExtListener = {OnExtIdle, OnExtResumed};
static const org_kde_kwin_idle_timeout_listener kKdeListener = {OnKdeIdle, OnKdeResumed};

// Asks for the notification: from now on, each time it resumes the user has given input.
static void Ask() {
  if (g_extNotifier != nullptr) {
    ext_idle_notification_v1* notification;
#ifdef EXT_IDLE_NOTIFIER_V1_GET_INPUT_IDLE_NOTIFICATION_SINCE_VERSION
    // Input only: an idle inhibitor (a playing video) does not hold this one back.
    if (g_extVersion >= EXT_IDLE_NOTIFIER_V1_GET_INPUT_IDLE_NOTIFICATION_SINCE_VERSION) {
      notification =
          ext_idle_notifier_v1_get_input_idle_notification(g_extNotifier, kIdleTimeoutMs, g_seat);
    } else
#endif
    {
      notification =
          ext_idle_notifier_v1_get_idle_notification(g_extNotifier, kIdleTimeoutMs, g_seat);
    }
    ext_idle_notification_v1_add_listener(notification, &kExtListener, nullptr);
    g_notification = reinterpret_cast<wl_proxy*>(notification);
  } else {
    org_kde_kwin_idle_timeout* timeout =
        org_kde_kwin_idle_get_idle_timeout(g_kdeIdle, g_seat, kIdleTimeoutMs);
    org_kde_kwin_idle_timeout_add_listener(timeout, &kKdeListener, nullptr);
    g_notification = reinterpret_cast<wl_proxy*>(timeout);
  }
}

// The compositor has listed its globals. At start-up, Connect looks at them; on a connection
// made again, the compositor is back: input given in the gap cannot be ruled out, and the
// notification is asked for again (a compositor that came back without one cannot be watched,
// and reads fail from now on).
static void OnSynced(void*, wl_callback* callback, std::uint32_t) {
  wl_callback_destroy(callback);
  g_sync = nullptr;
  if (g_watch == Watch::kConnecting) {
    g_watch = Watch::kReady;
  } else if (g_watch == Watch::kRejoining) {
    ++g_inputs;
    if (HasIdle()) {
      BindIdle();
      Ask();
    }
    g_watch = Watch::kUnseen;
  }
}

static const wl_callback_listener kSyncListener = {OnSynced};

// Exchanges while the watch stays `state`, until `deadline`; false once the connection broke.
static bool ExchangeWhile(Watch state, std::int64_t deadline) {
  for (std::int64_t left = deadline - MonotonicMs(); g_watch == state && left > 0;
       left = deadline - MonotonicMs()) {
    if (!Exchange(left)) {
      return false;
    }
  }
  return true;
}

// Connects to the compositor, asks for its globals (OpenCompositor) and for an answer once it
// has listed them. Null once connected, or else what failed.
static const char* Open(std::int64_t deadline) {
  if (const char* failed = OpenCompositor(deadline)) {
    return failed;
  }
  g_sync = wl_display_sync(g_display);
  wl_callback_add_listener(g_sync, &kSyncListener, nullptr);
  return nullptr;
}

#ifdef MOUSETRAP_KDE_IDLE_ONLY
static const char kNoIdle[] = N_("the compositor at WAYLAND_DISPLAY offers no org_kde_kwin_idle");
#else
static const char kNoIdle[] =
    N_("the compositor at WAYLAND_DISPLAY offers no ext_idle_notifier_v1 or org_kde_kwin_idle");
#endif

// Binds the first seat and the idle notifier, or else KDE's, waiting for the compositor no
// longer than kStartUpTimeoutMs in all. Never connects when WAYLAND_DISPLAY is not set, where
// libwayland would try wayland-0. WAYLAND_SOCKET is not used: it may name another connection,
// or the terminal; it is removed.
static bool Connect(const char** missing) {
  unsetenv("WAYLAND_SOCKET");  // its descriptor, like every inherited one, is close-on-exec
  const char* name = getenv("WAYLAND_DISPLAY");
  if (name == nullptr || *name == '\0') {
    *missing = N_("WAYLAND_DISPLAY is not set");
    return false;
  }
  const std::int64_t deadline = MonotonicMs() + kStartUpTimeoutMs;
  *missing = Open(deadline);
  if (*missing != nullptr) {
    return false;
  }
  if (!ExchangeWhile(Watch::kConnecting, deadline) || g_watch != Watch::kReady) {
    *missing = N_("the compositor at WAYLAND_DISPLAY did not answer within 3 s");
  } else if (g_extName == 0 && g_kdeName == 0) {
    *missing = kNoIdle;
  } else if (g_seat == nullptr) {
    *missing = N_("the compositor at WAYLAND_DISPLAY offers no seat");
  } else {
    BindIdle();
    return true;
  }
  Disconnect();
  return false;
}

// The connection broke: the notification went with it. One line, unless it broke again before
// the compositor was back.
static void Lose() {
  Disconnect();
  if (g_watch != Watch::kRejoining) {
    ReportSourceLost("the Wayland compositor");
  }
  g_watch = Watch::kGone;
}

// Never waits long but at the first read: takes what the compositor has sent so far. The first
// read asks for the notification and waits for its first idle; a compositor that went away is
// connected to again, waiting for it no longer than kReconnectTimeoutMs at that read. Gives the
// count of resumptions and returns, or -1 (see Watch).
static LONG CountInputs() {
  const LONG before = g_inputs;
  bool connected = true;
  switch (g_watch) {
    case Watch::kReady:
      Ask();
      g_watch = Watch::kAsked;
      connected = ExchangeWhile(Watch::kAsked, MonotonicMs() + kFirstIdleMs);
      if (connected && g_watch == Watch::kAsked) {
        g_watch = Watch::kUnseen;
        ReportSourceLost(
            "the compositor's idle notifications (no first notice within 3 s: something holds "
            "idle off, or the compositor is slow)");
      }
      break;
    case Watch::kGone: {
      const std::int64_t deadline = MonotonicMs() + kReconnectTimeoutMs;
      if (Open(deadline) == nullptr) {
        g_watch = Watch::kRejoining;
        connected = ExchangeWhile(Watch::kRejoining, deadline);
      }
      break;
    }
    default:
      connected = Exchange(0);
      break;
  }
  if (!connected) {
    Lose();
  }
  return g_watch == Watch::kWatching || g_inputs != before ? g_inputs : -1;
}

const WatchWay kWaylandIdleWay = {Connect, nullptr, CountInputs};
