// Watching an X11 session: the pointer itself, read on the connection to DISPLAY's server
// (x11_display.cpp). A display that is down is connected to again at each read; a connection
// made at a read counts as input, since the pointer may have moved while no connection showed it
// (and a new server puts its pointer where it likes).

#include <xcb/xcb.h>

#include <cstdlib>

#include "platform_api.h"
#include "watch_way.h"
#include "x11_display.h"

// Beyond the range of an X coordinate: added to x once for each connection made at a read.
constexpr LONG kReturnStep = 65536;
// How long a read waits for the server's answer: a server that does not answer sooner (stopped,
// or held by another client's server grab) is taken as lost.
constexpr std::int64_t kReplyTimeoutMs = 1000;

static LONG g_returns = 0;

// Ends the process with status 2 and one line on standard error, at start-up, before the
// banner. (A display that comes back as Xwayland at a read counts as input like any return.)
static void RefuseXwayland() {
  Say("this display is Xwayland, which shows pointer motion only over X windows, so motion "
      "elsewhere would go unseen; not watching. Run mousetrap in an X11 session, or in a "
      "Wayland session that offers idle notifications.");
  exit(2);
}

// Chosen when DISPLAY names a display that answers within kStartUpTimeoutMs, or that is not up
// yet: that one is connected to at a later read.
static bool Connect(const char** missing) {
  const char* display = getenv("DISPLAY");
  char* host = nullptr;
  if (display == nullptr || *display == '\0') {
    *missing = N_("DISPLAY is not set");
    return false;
  }
  const bool parsed = xcb_parse_display(display, &host, &g_displayNumber, &g_screen) != 0;
  free(host);
  if (!parsed) {
    *missing = N_("DISPLAY names no X display");
    return false;
  }
  if (!Connecting(MonotonicMs() + kStartUpTimeoutMs)) {
    *missing = N_("the X server at DISPLAY did not answer within 3 s");
    return false;
  }
  if (g_refusal[0] != '\0') {
    Say("the X server at DISPLAY refused the connection (\"%s\"): check that XAUTHORITY names "
        "the file with this display's cookie (after su or sudo it may name another user's, or "
        "none); not watching.",
        g_refusal);
    exit(2);
  }
  if (g_made != nullptr) {
    if (g_madeIsXwayland) {
      RefuseXwayland();
    }
    Keep();
  }
  return true;
}

// Drops the connection once it has broken.
static void DropBroken() {
  if (g_connection != nullptr && xcb_connection_has_error(g_connection)) {
    xcb_disconnect(g_connection);
    g_connection = nullptr;
    ReportSourceLost("the X display");
  }
}

// Whether there is a connection to read from: the one there is, or one made now, waiting for
// it no longer than kReconnectTimeoutMs.
static bool Connected() {
  DropBroken();
  if (g_connection != nullptr) {
    return true;
  }
  if (!Connecting(MonotonicMs() + kReconnectTimeoutMs) || g_made == nullptr) {
    return false;
  }
  Keep();
  ++g_returns;
  return true;
}

// The pointer's position, x moved by kReturnStep for each connection made at a read. Fails
// while the display is down. A server that is back and refuses the connection (a display
// manager that restarted the X server with a new cookie) is back all the same: it gives a
// position off the screen, so that its return counts as input.
static BOOL Read(POINT* point) {
  if (!Connected()) {
    if (g_isConnecting || g_refusal[0] == '\0') {
      return 0;
    }
    static bool said = false;  // once: the reads that follow are refused too
    if (!said) {
      said = true;
      Say("the X server at DISPLAY is back, and refused the connection (\"%s\"); its return "
          "counts as input.",
          g_refusal);
    }
    g_refusal[0] = '\0';
    point->x = ++g_returns * kReturnStep;
    point->y = 0;
    return 1;
  }
  // Events the server sends every client (MappingNotify, ...) are of no use here. Dropped one by
  // one as they are read, before asking, so that neither they pile up for as long as the tool
  // runs nor a burst of them is queued whole ahead of the reply.
  while (xcb_generic_event_t* event = xcb_poll_for_event(g_connection)) {
    free(event);
  }
  auto* reply = static_cast<xcb_query_pointer_reply_t*>(
      ReplyUntil(xcb_query_pointer(g_connection, g_root).sequence, MonotonicMs() + kReplyTimeoutMs,
                 N_("the X display")));
  if (reply == nullptr) {
    DropBroken();
    return 0;
  }
  point->x = reply->root_x + g_returns * kReturnStep;
  point->y = reply->root_y;
  free(reply);
  return 1;
}

const WatchWay kX11PointerWay = {Connect, Read, nullptr};
