// The platform API on Linux that every way of watching shares: start-up, sleeping on the
// monotonic clock, and a console write that shows UTF-8 on a terminal. GetCursorPos comes from
// choose_way.cpp.

#include <dirent.h>
#include <fcntl.h>
#include <libintl.h>
#include <locale.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform_api.h"
#include "watch_way.h"

static void IgnoreBrokenPipe(int) {}

// Standard error as it was at start-up, for the program's own lines.
static int g_stderr = STDERR_FILENO;

// Marks every descriptor above standard error close-on-exec: whatever the program was started
// with (a file, a socket, a terminal) never reaches the lock command.
static void KeepDescriptorsFromLockCommand() {
  if (close_range(STDERR_FILENO + 1, ~0U, CLOSE_RANGE_CLOEXEC) == 0) {
    return;  // Linux 5.11 and later
  }
  DIR* open_fds = opendir("/proc/self/fd");
  if (open_fds == nullptr) {
    for (int fd = STDERR_FILENO + 1; fd < 1024; ++fd) {
      fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
    return;
  }
  while (const dirent* entry = readdir(open_fds)) {
    const int fd = atoi(entry->d_name);
    if (fd > STDERR_FILENO) {
      fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
  }
  closedir(open_fds);
}

// Whether `folder` is one only root or this user can write to, as a catalogue's must be: its
// translations are the formats of the program's lines.
static bool OwnFolder(const char* folder) {
  struct stat status;
  return lstat(folder, &status) == 0 && S_ISDIR(status.st_mode) &&
         (status.st_uid == 0 || status.st_uid == geteuid()) && (status.st_mode & 022) == 0;
}

// The message catalogue: beside the program in its build tree (locale/, where only root or this
// user can write), else where the package installs it (../share/locale from bin/). Only the
// language of messages follows the locale.
static void UseMessageCatalogue() {
  setlocale(LC_MESSAGES, "");
  char folder[4096];
  const ssize_t length = readlink("/proc/self/exe", folder, sizeof folder - 1);
  folder[length > 0 ? length : 0] = '\0';
  if (char* name = strrchr(folder, '/')) {
    *name = '\0';
  }
  char catalogue[sizeof folder + 16];
  snprintf(catalogue, sizeof catalogue, "%s/locale", folder);
  if (!OwnFolder(catalogue)) {
    snprintf(catalogue, sizeof catalogue, "%s/../share/locale", folder);
  }
  bindtextdomain(kTextDomain, catalogue);
  bind_textdomain_codeset(kTextDomain, "UTF-8");  // whatever the locale's character set
  bind_textdomain_codeset("libc", "UTF-8");       // and the C library's texts (strerror) too
}

// Before anything else is opened or written: descriptors 0, 1 and 2 that are closed are opened
// on /dev/null, so no connection or file takes their place, and every other inherited one is
// kept from the lock command; the message catalogue is found; and a write to a reader that has
// gone fails with EPIPE instead of killing the process (a handler, not SIG_IGN, so that the lock
// command does not inherit it).
__attribute__((constructor(101))) static void StartUp() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (fcntl(fd, F_GETFD) < 0 && errno == EBADF) {
      open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
    }
  }
  KeepDescriptorsFromLockCommand();
  UseMessageCatalogue();
  const int copy = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
  g_stderr = copy >= 0 ? copy : STDERR_FILENO;
  struct sigaction broken_pipe = {};
  broken_pipe.sa_handler = IgnoreBrokenPipe;
  sigaction(SIGPIPE, &broken_pipe, nullptr);
  // Started with SIGCHLD ignored, the lock command's status would be lost (waitpid fails).
  struct sigaction child;
  if (sigaction(SIGCHLD, nullptr, &child) == 0 && child.sa_handler == SIG_IGN) {
    signal(SIGCHLD, SIG_DFL);
  }
}

// After the command line, so --help and --version answer where nothing can be watched: the way
// of watching is chosen and the ways of locking are looked for, so the tool refuses a session it
// cannot watch or lock at once, before its banner.
void PrepareToWatch() {
  ChooseWatchWay();
  RefuseWithoutLockRoute();
}

void Say(const char* format, ...) {
  char line[2048] = "mousetrap: ";
  const size_t prefix = strlen(line);
  va_list args;
  va_start(args, format);
  const int length = vsnprintf(line + prefix, sizeof line - prefix - 1, _(format), args);
  va_end(args);
  size_t end = prefix + (length < 0 ? 0 : length);
  end = end < sizeof line - 2 ? end : sizeof line - 2;
  line[end++] = '\n';
  for (size_t done = 0; done < end;) {
    const ssize_t n = write(g_stderr, line + done, end - done);
    if (n < 0 && errno != EINTR) {
      return;
    }
    done += n > 0 ? n : 0;
  }
}

bool RestoreStderr() {
  return g_stderr != STDERR_FILENO && dup2(g_stderr, STDERR_FILENO) == STDERR_FILENO;
}

std::int64_t MonotonicMs() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec * 1000LL + now.tv_nsec / 1000000;
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
