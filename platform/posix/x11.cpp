// Watching an X11 session: the pointer itself, read through XCB. XCB reports a failed
// connection as a state to test, where Xlib would end the process.
//
// Connections are made by a thread of their own: xcb_connect waits for the server's answer with
// no time limit, and a server that accepts but never answers must neither hold start-up past
// kStartUpTimeoutMs nor a read past kReconnectTimeoutMs. A display that is down is connected to
// again at each read; a connection made at a read counts as input, since the pointer may have
// moved while no connection showed it (and a new server puts its pointer where it likes).

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#include <xcb/randr.h>
#include <xcb/xcb.h>
#include <xcb/xcbext.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform_api.h"
#include "watch_way.h"

// Beyond the range of an X coordinate: added to x once for each connection made at a read.
constexpr LONG kReturnStep = 65536;
// How long a read waits for the server's answer: a server that does not answer sooner (stopped,
// or held by another client's server grab) is taken as lost.
constexpr std::int64_t kReplyTimeoutMs = 1000;

// DISPLAY's display and screen numbers, read once at start-up.
static int g_displayNumber = 0;
static int g_screen = 0;

static xcb_connection_t* g_connection = nullptr;
static xcb_window_t g_root = 0;
static LONG g_returns = 0;

// The thread making a connection, while it runs, and what it made: read only once joined.
static pthread_t g_connecting;
static bool g_isConnecting = false;
static xcb_connection_t* g_made = nullptr;
static xcb_window_t g_madeRoot = 0;
static bool g_madeIsXwayland = false;
// The first line of the server's reason when it answered and refused the connection (a wrong or
// missing cookie), else empty.
static char g_refusal[256];

// Reads at most `size` bytes of /proc/<pid>/<name>; how many, or -1.
static ssize_t ReadProcFile(const char* pid, const char* name, char* buffer, size_t size) {
  char path[sizeof(dirent::d_name) + 16];
  snprintf(path, sizeof path, "/proc/%s/%s", pid, name);
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    return -1;
  }
  const ssize_t length = read(fd, buffer, size);
  close(fd);
  return length;
}

static bool IsXwaylandProcess(const char* pid) {
  const char kComm[] = "Xwayland\n";
  char comm[sizeof kComm];
  return ReadProcFile(pid, "comm", comm, sizeof comm) == sizeof kComm - 1 &&
         memcmp(comm, kComm, sizeof kComm - 1) == 0;
}

// Whether an Xwayland of user `uid` serves this display: one of its arguments is ":number".
static bool XwaylandServes(uid_t uid) {
  char display[16];
  snprintf(display, sizeof display, ":%d", g_displayNumber);
  DIR* processes = opendir("/proc");
  if (processes == nullptr) {
    return false;
  }
  bool found = false;
  dirent* entry;
  while (!found && (entry = readdir(processes)) != nullptr) {
    struct stat owner;
    char arguments[512];
    if (entry->d_name[0] < '1' || entry->d_name[0] > '9' ||
        fstatat(dirfd(processes), entry->d_name, &owner, 0) != 0 || owner.st_uid != uid ||
        !IsXwaylandProcess(entry->d_name)) {
      continue;
    }
    const ssize_t length = ReadProcFile(entry->d_name, "cmdline", arguments, sizeof arguments - 1);
    arguments[length > 0 ? length : 0] = '\0';
    for (ssize_t i = 0; i < length && !found; i += strlen(arguments + i) + 1) {
      found = strcmp(arguments + i, display) == 0;
    }
  }
  closedir(processes);
  return found;
}

// Whether the server has the extension newer Xwaylands have.
static bool HasXwaylandExtension(xcb_connection_t* connection) {
  const char kName[] = "XWAYLAND";
  xcb_query_extension_reply_t* extension = xcb_query_extension_reply(
      connection, xcb_query_extension(connection, sizeof kName - 1, kName), nullptr);
  const bool present = extension != nullptr && extension->present;
  free(extension);
  return present;
}

// Whether one of the server's RandR outputs has Xwayland's name: XWAYLAND0, ... (it may have
// none, or no RandR).
static bool HasXwaylandOutput(xcb_connection_t* connection, xcb_window_t root) {
  const char kName[] = "XWAYLAND";
  const xcb_query_extension_reply_t* randr = xcb_get_extension_data(connection, &xcb_randr_id);
  if (randr == nullptr || !randr->present) {
    return false;
  }
  xcb_randr_get_screen_resources_current_reply_t* resources =
      xcb_randr_get_screen_resources_current_reply(
          connection, xcb_randr_get_screen_resources_current(connection, root), nullptr);
  if (resources == nullptr) {
    return false;
  }
  const xcb_randr_output_t* outputs = xcb_randr_get_screen_resources_current_outputs(resources);
  const int count = xcb_randr_get_screen_resources_current_outputs_length(resources);
  bool found = false;
  for (int i = 0; i < count && !found; ++i) {
    xcb_randr_get_output_info_reply_t* output = xcb_randr_get_output_info_reply(
        connection, xcb_randr_get_output_info(connection, outputs[i], resources->config_timestamp),
        nullptr);
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

// Xwayland reports pointer motion only over X windows: there the tool would look armed while
// motion over every other window went unseen. Any of four signs tells it: the process behind
// the connection's local socket is Xwayland; or that process (the compositor that made the
// socket and handed it to the Xwayland it started, as its user) has an Xwayland serving this
// display; or the server has the XWAYLAND extension; or a RandR output of Xwayland's name. The
// process is out of sight over TCP, or in another PID namespace.
static bool IsXwayland(xcb_connection_t* connection, xcb_window_t root) {
  ucred peer = {};
  socklen_t size = sizeof peer;
  char pid[16];
  const bool local =
      getsockopt(xcb_get_file_descriptor(connection), SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0 &&
      peer.pid > 0;
  snprintf(pid, sizeof pid, "%d", static_cast<int>(peer.pid));
  return (local && (IsXwaylandProcess(pid) || XwaylandServes(peer.uid))) ||
         HasXwaylandExtension(connection) || HasXwaylandOutput(connection, root);
}

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
  g_madeIsXwayland = IsXwayland(connection, g_madeRoot);
  g_made = connection;
  return nullptr;
}

// Starts the connecting thread unless it runs already, and waits for it until `deadline`;
// true when it has ended, its connection (or none) in g_made.
static bool Connecting(std::int64_t deadline) {
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

// Ends the process with status 2 and one line on standard error, at start-up, before the
// banner. (A display that comes back as Xwayland at a read counts as input like any return.)
static void RefuseXwayland() {
  Say("this display is Xwayland, which shows pointer motion only over X windows, so motion "
      "elsewhere would go unseen; not watching. Run mousetrap in an X11 session, or in a "
      "Wayland session that offers idle notifications.");
  exit(2);
}

// Keeps the connection the thread made.
static void Keep() {
  g_connection = g_made;
  g_root = g_madeRoot;
  g_made = nullptr;
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

// The reply to request `sequence`, waited for no longer than `deadline`; null when the server
// answered with an error, or did not answer in time, or the connection broke. A connection
// whose answer is late is closed (a late reply would be taken for another's); `lost` is then
// reported, unless null.
static void* ReplyUntil(unsigned int sequence, std::int64_t deadline, const char* lost) {
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

const WatchWay kX11PointerWay = {Connect, Read, nullptr};
