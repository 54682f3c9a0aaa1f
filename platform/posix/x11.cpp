// The platform API on Linux X11 desktops: the pointer through XCB, sleeping on the monotonic
// clock, and a console write that shows UTF-8 on a terminal.

#include <fcntl.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>
#include <xcb/randr.h>
#include <xcb/xcb.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform_api.h"

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

static void IgnoreBrokenPipe(int) {}

// Before anything else is opened or written: descriptors 0, 1 and 2 that are closed are opened
// on /dev/null, so no connection or file takes their place; a write to a reader that has gone
// fails with EPIPE instead of killing the process (a handler, not SIG_IGN, so that the lock
// command does not inherit it); and the first connection is made, so the tool refuses a display
// it cannot watch at once, before its banner.
__attribute__((constructor(101))) static void StartUp() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (fcntl(fd, F_GETFD) < 0 && errno == EBADF) {
      open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
    }
  }
  struct sigaction broken_pipe = {};
  broken_pipe.sa_handler = IgnoreBrokenPipe;
  sigaction(SIGPIPE, &broken_pipe, nullptr);
  Connect();
}

void Sleep(DWORD milliseconds) {
  // An absolute deadline on the monotonic clock: a signal never cuts the pause short, and the
  // wall clock being set does not stretch it.
  timespec deadline;
  clock_gettime(CLOCK_MONOTONIC, &deadline);
  deadline.tv_sec += milliseconds / 1000;
  deadline.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000L;
  if (deadline.tv_nsec >= 1000000000L) {
    deadline.tv_sec += 1;
    deadline.tv_nsec -= 1000000000L;
  }
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
  }
}

BOOL GetCursorPos(POINT* point) {
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

HANDLE GetStdHandle(DWORD which) {
  // A descriptor of its own for what standard output was at start-up, never closed, and not
  // inherited by the lock command.
  const int fd = which == STD_OUTPUT_HANDLE ? fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3) : -1;
  return fd < 0 ? INVALID_HANDLE_VALUE : reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(fd));
}

// Appends the UTF-8 form of the code point at units[i] to `out`; returns how many code units
// it took (2 for a surrogate pair). A lone surrogate becomes U+FFFD.
static DWORD EncodeUtf8(const WCHAR* units, DWORD i, DWORD count, unsigned char*& out) {
  std::uint32_t code = units[i];
  DWORD used = 1;
  if (code >= 0xD800 && code <= 0xDBFF && i + 1 < count && units[i + 1] >= 0xDC00 &&
      units[i + 1] <= 0xDFFF) {
    code = 0x10000 + ((code - 0xD800) << 10) + (units[i + 1] - 0xDC00u);
    used = 2;
  } else if (code >= 0xD800 && code <= 0xDFFF) {
    code = 0xFFFD;
  }
  if (code < 0x80) {
    *out++ = static_cast<unsigned char>(code);
    return used;
  }
  const int tail = code < 0x800 ? 1 : code < 0x10000 ? 2 : 3;
  static const unsigned char kLead[] = {0, 0xC0, 0xE0, 0xF0};
  *out++ = static_cast<unsigned char>(kLead[tail] | code >> (6 * tail));
  for (int shift = 6 * (tail - 1); shift >= 0; shift -= 6) {
    *out++ = static_cast<unsigned char>(0x80 | (code >> shift & 0x3F));
  }
  return used;
}

BOOL WriteConsoleW(HANDLE console, const void* text, DWORD count, DWORD* written, void*) {
  // As on Windows, a console write to what is not a console is lost.
  const int fd = static_cast<int>(reinterpret_cast<std::intptr_t>(console));
  if (console == INVALID_HANDLE_VALUE || !isatty(fd)) {
    return 0;
  }
  const auto* units = static_cast<const WCHAR*>(text);
  unsigned char buffer[1024];
  for (DWORD i = 0; i < count;) {
    unsigned char* end = buffer;
    while (i < count && end + 4 <= buffer + sizeof buffer) {
      i += EncodeUtf8(units, i, count, end);
    }
    for (const unsigned char* p = buffer; p < end;) {
      const ssize_t n = write(fd, p, end - p);
      if (n < 0 && errno != EINTR) {
        return 0;
      }
      p += n > 0 ? n : 0;
    }
  }
  if (written != nullptr) {
    *written = count;
  }
  return 1;
}
