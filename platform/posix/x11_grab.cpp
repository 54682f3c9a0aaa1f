// The keyboard-grab question of an X11 session, for the lock side (declared in linux.h): every
// X11 locker holds the keyboard grab while it shows. Asked on the X11 way's connection when that
// way watches, else on one made for it.

#include <xcb/xcb.h>

#include <cstdlib>

#include "linux.h"
#include "x11_display.h"

int KeyboardHeldByAnother(std::int64_t deadline) {
  if (g_connection == nullptr) {
    if (!Connecting(deadline) || g_made == nullptr) {
      return -1;
    }
    Keep();
  }
  auto* grab = static_cast<xcb_grab_keyboard_reply_t*>(
      ReplyUntil(xcb_grab_keyboard(g_connection, 0, g_root, XCB_CURRENT_TIME, XCB_GRAB_MODE_ASYNC,
                                   XCB_GRAB_MODE_ASYNC)
                     .sequence,
                 deadline, nullptr));
  const int held =
      grab == nullptr ? -1
      : grab->status == XCB_GRAB_STATUS_ALREADY_GRABBED || grab->status == XCB_GRAB_STATUS_FROZEN
          ? 1
          : 0;
  if (grab != nullptr && grab->status == XCB_GRAB_STATUS_SUCCESS) {
    xcb_ungrab_keyboard(g_connection, XCB_CURRENT_TIME);  // at once: it was only a question
    xcb_flush(g_connection);
  }
  free(grab);
  return held;
}
