// The connection to the X server at DISPLAY, which the X11 way watches through and on which the
// keyboard-grab question is asked (x11_grab.cpp). XCB reports a failed connection as a state to
// test, where Xlib would end the process.
//
// Connections are made by a thread of their own: xcb_connect waits for the server's answer with
// no time limit, and a server that accepts but never answers must neither hold start-up past
// kStartUpTimeoutMs nor a read past kReconnectTimeoutMs.

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <time.h>
#include <unistd.h>
#include <xcb/xcbext.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "linux.h"
#include "x11_display.h"

int g_displayNumber = 0;
int g_screen = 0;
xcb_connection_t* g_connection = nullptr;
xcb_window_t g_root = 0;
bool g_isConnecting = false;
xcb_connection_t* g_made = nullptr;
bool g_madeIsXwayland = false;
char g_refusal[256];

// The thread making a connection, while it runs, and the root window of what it made.
static pthread_t g_connecting;
static xcb_window_t g_madeRoot = 0;

// libxcb writes the reason of a server that refuses the connection straight to standard error,
// where it would stand beside the program's own lines at every read. While it connects,
// standard error is a pipe, and the reason's first line is kept in g_refusal; the program's own
// lines go to its copy of standard error (Say), which this leaves alone.
static xcb_connection_t* ConnectCapturingRefusal() {
  int reason[2];
  g_refusal[0] = '\0';
  if (!RestoreStderr() || pipe2(reason, O_CLOEXEC | O_NONBLOCK) != 0) {
    return xcb_connect(nullptr, nullptr);
  }
  dup2(reason[1], STDERR_FILENO);
  xcb_connection_t* connection = xcb_connect(nullptr, nullptr);
  RestoreStderr();
  close(reason[1]);
  const ssize_t length = read(reason[0], g_refusal, sizeof g_refusal - 1);
  close(reason[0]);
  g_refusal[length > 0 ? length : 0] = '\0';
  g_refusal[strcspn(g_refusal, "\r\n")] = '\0';
  for (char* c = g_refusal; *c != '\0'; ++c) {  // the server's words, not a terminal's commands
    *c = static_cast<unsigned char>(*c) < ' ' || *c == 0x7F ? ' ' : *c;
  }
  return connection;
}

// The connecting thread: connects to DISPLAY, finds the screen's root window and whether the
// server is Xwayland. Leaves g_made null when it could not connect, with g_refusal set when the
// server refused.
static void* MakeConnection(void*) {
  xcb_connection_t* connection = ConnectCapturingRefusal();
  if (xcb_connection_has_error(connection)) {
    xcb_disconnect(connection);
    return nullptr;
  }
  // The lock command must not inherit the connection.
  fcntl(xcb_get_file_descriptor(connection), F_SETFD, FD_CLOEXEC);
  xcb_screen_iterator_t roots = xcb_setup_roots_iterator(xcb_get_setup(connection));
  for (int screen = g_screen; roots.rem > 0 && screen > 0; --screen) {
    xcb_screen_next(&roots);
  }
  if (roots.rem == 0) {
    xcb_disconnect(connection);
    return nullptr;
  }
  g_madeRoot = roots.data->root;
  g_madeIsXwayland = IsXwayland(connection, g_madeRoot, g_displayNumber);
  g_made = connection;
  return nullptr;
}

bool Connecting(std::int64_t deadline) {
  if (!g_isConnecting) {
    g_made = nullptr;
    g_isConnecting = pthread_create(&g_connecting, nullptr, MakeConnection, nullptr) == 0;
    if (!g_isConnecting) {
      return false;
    }
  }
  const timespec until = {static_cast<time_t>(deadline / 1000),
                          static_cast<long>(deadline % 1000) * 1000000L};
  g_isConnecting = pthread_clockjoin_np(g_connecting, nullptr, CLOCK_MONOTONIC, &until) != 0;
  return !g_isConnecting;
}

void Keep() {
  g_connection = g_made;
  g_root = g_madeRoot;
  g_made = nullptr;
}

void* ReplyUntil(unsigned int sequence, std::int64_t deadline, const char* lost) {
  xcb_flush(g_connection);
  for (;;) {
    void* reply = nullptr;
    xcb_generic_error_t* error = nullptr;
    if (xcb_poll_for_reply(g_connection, sequence, &reply, &error) != 0) {
      free(error);
      return reply;
    }
    pollfd connection = {xcb_get_file_descriptor(g_connection), POLLIN, 0};
    const std::int64_t left = deadline - MonotonicMs();
    if (xcb_connection_has_error(g_connection) || left <= 0 ||
        (poll(&connection, 1, static_cast<int>(left)) < 0 && errno != EINTR)) {
      break;
    }
  }
  xcb_disconnect(g_connection);
  g_connection = nullptr;
  if (lost != nullptr) {
    ReportSourceLost(lost);
  }
  return nullptr;
}
