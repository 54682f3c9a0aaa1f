// Watching an X11 session: the pointer itself, read through XCB.

#include <fcntl.h>
#include <unistd.h>
#include <xcb/randr.h>
#include <xcb/xcb.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform_api.h"
#include "watch_way.h"

// The X connection, made at the first read and made anew by the first read after it broke,
// so the program recovers when the display comes back. XCB reports a failed connection as a
// state to test, where Xlib would end the process.
static xcb_connection_t* g_connection = nullptr;
static xcb_window_t g_root = 0;

// Xwayland reports pointer motion only over X windows: there the tool would look armed while
// motion over every other window went unseen. Xwayland names its RandR outputs XWAYLAND0, ...;
// newer ones also have an extension of that name.
static bool IsXwayland() {
  const char kName[] = "XWAYLAND";
  xcb_query_extension_reply_t* extension = xcb_query_extension_reply(
      g_connection, xcb_query_extension(g_connection, sizeof kName - 1, kName), nullptr);
  bool found = extension != nullptr && extension->present;
  free(extension);
  const xcb_query_extension_reply_t* randr = xcb_get_extension_data(g_connection, &xcb_randr_id);
  if (found || randr == nullptr || !randr->present) {
    return found;
  }
  xcb_randr_get_screen_resources_current_reply_t* resources =
      xcb_randr_get_screen_resources_current_reply(
          g_connection, xcb_randr_get_screen_resources_current(g_connection, g_root), nullptr);
  if (resources == nullptr) {
    return false;
  }
  const xcb_randr_output_t* outputs = xcb_randr_get_screen_resources_current_outputs(resources);
  const int count = xcb_randr_get_screen_resources_current_outputs_length(resources);
  for (int i = 0; i < count && !found; ++i) {
    xcb_randr_get_output_info_reply_t* output = xcb_randr_get_output_info_reply(
        g_connection,
        xcb_randr_get_output_info(g_connection, outputs[i], resources->config_timestamp), nullptr);
    if (output != nullptr) {
      const int length = xcb_randr_get_output_info_name_length(output);
      found = length >= static_cast<int>(sizeof kName - 1) &&
              memcmp(xcb_randr_get_output_info_name(output), kName, sizeof kName - 1) == 0;
    }
    free(output);
  }
  free(resources);
  return found;
}

static bool Connect() {
  if (g_connection != nullptr && !xcb_connection_has_error(g_connection)) {
    return true;
  }
  if (g_connection != nullptr) {
    xcb_disconnect(g_connection);
  }
  int screen = 0;
  g_connection = xcb_connect(nullptr, &screen);
  if (xcb_connection_has_error(g_connection)) {
    return false;
  }
  // The lock command must not inherit the connection.
  fcntl(xcb_get_file_descriptor(g_connection), F_SETFD, FD_CLOEXEC);
  xcb_screen_iterator_t roots = xcb_setup_roots_iterator(xcb_get_setup(g_connection));
  for (; roots.rem > 0 && screen > 0; --screen) {
    xcb_screen_next(&roots);
  }
  if (roots.rem == 0) {
    xcb_disconnect(g_connection);
    g_connection = nullptr;
    return false;
  }
  g_root = roots.data->root;
  if (IsXwayland()) {
    fputs(
        "mousetrap: this display is Xwayland, which shows pointer motion only over X windows, "
        "so motion elsewhere would go unseen; not watching. Run mousetrap in an X11 session.\n",
        stderr);
    exit(2);
  }
  return true;
}

static BOOL Read(POINT* point) {
  if (!Connect()) {
    return 0;
  }
  // Events the server sends every client (MappingNotify, ...) are of no use here. Dropped one by
  // one as they are read, before asking, so that neither they pile up for as long as the tool
  // runs nor a burst of them is queued whole ahead of the reply.
  while (xcb_generic_event_t* event = xcb_poll_for_event(g_connection)) {
    free(event);
  }
  xcb_query_pointer_reply_t* reply =
      xcb_query_pointer_reply(g_connection, xcb_query_pointer(g_connection, g_root), nullptr);
  if (reply == nullptr) {
    return 0;
  }
  point->x = reply->root_x;
  point->y = reply->root_y;
  free(reply);
  return 1;
}

// Chosen when DISPLAY names a display; one that is not up yet is tried again at every read.
static bool ConnectWay() {
  const char* display = getenv("DISPLAY");
  if (display == nullptr || *display == '\0') {
    return false;
  }
  Connect();
  return true;
}

const WatchWay kX11PointerWay = {"DISPLAY is not set", ConnectWay, Read};
