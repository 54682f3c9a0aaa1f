// The xdg-screensaver route, in an X11 session only: `timeout -k 2 10 xdg-screensaver lock`, run
// without a shell, for the X11 screen savers only it knows. At start-up: whether this is an X11
// session with the command on PATH.

#include <fcntl.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "linux.h"
#include "lock_route.h"

// How long xdg-screensaver is given (coreutils' timeout), so that a screen saver that hangs
// cannot hold the tool: 10 s, and SIGKILL 2 s after SIGTERM for one that ignores that.
static char* const kXdgScreensaver[] = {const_cast<char*>("timeout"),
                                        const_cast<char*>("-k"),
                                        const_cast<char*>("2"),
                                        const_cast<char*>("10"),
                                        const_cast<char*>("xdg-screensaver"),
                                        const_cast<char*>("lock"),
                                        nullptr};

// Whether xdg-screensaver is a route here: an X11 session, and the command on PATH.
static int CouldLock(std::int64_t, const char** why) {
  if ((*why = NoX11Session()) != nullptr) {
    return 0;  // the line says: "..., and <why> (for xdg-screensaver)"
  }
  // As the shell searches: an empty entry is the current folder; no PATH, the system's default.
  char fallback[256] = "";
  const char* path = getenv("PATH");
  if (path == nullptr) {
    confstr(_CS_PATH, fallback, sizeof fallback);
    path = fallback;
  }
  *why = N_("it is not on PATH");
  for (const char* folder = path;; ++folder) {
    const char* end = strchrnul(folder, ':');
    const int length = static_cast<int>(end - folder);
    char file[4096];
    if (snprintf(file, sizeof file, "%.*s%sxdg-screensaver", length, folder,
                 length > 0 ? "/" : "") < static_cast<int>(sizeof file) &&
        access(file, X_OK) == 0) {
      return 1;
    }
    if (*end == '\0') {
      return 0;
    }
    folder = end;
  }
}

// Runs `timeout -k 2 10 xdg-screensaver lock`, found on PATH, with standard error into a file of
// its own, and waits for it; its exit status (124 or 137: no answer in time), or -1 when it could
// not be run. The first line it wrote on standard error, if any, is left in `said`.
static int RunXdgScreensaver(char* said, size_t size) {
  said[0] = '\0';
  const int errors = memfd_create("xdg-screensaver-errors", MFD_CLOEXEC);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (errors >= 0) {
    posix_spawn_file_actions_adddup2(&actions, errors, STDERR_FILENO);
  }
  extern char** environ;
  pid_t child;
  int status = -1;
  if (posix_spawnp(&child, kXdgScreensaver[0], &actions, nullptr, kXdgScreensaver, environ) == 0) {
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
  }
  posix_spawn_file_actions_destroy(&actions);
  if (errors >= 0) {
    const ssize_t length = pread(errors, said, size - 1, 0);
    said[length > 0 ? length : 0] = '\0';
    said[strcspn(said, "\n")] = '\0';
    close(errors);
  }
  return status == -1 || !WIFEXITED(status) ? -1 : WEXITSTATUS(status);
}

// xdg-screensaver lock, in an X11 session only. It cannot tell whether it locked (it exits 4 on
// KDE Plasma after locking, a route tried before it), so its success is taken at its word; its
// failure, and the first line it wrote, go into the one line of ours.
static LockOutcome Lock(const Buses&) {
  if (const char* why = NoX11Session()) {
    Tried("xdg-screensaver: %s", _(why));
    return kNotLocked;
  }
  char said[160];
  const int status = RunXdgScreensaver(said, sizeof said);
  if (status == 0) {
    return kSeenLocked;
  }
  if (status == -1) {
    Tried("xdg-screensaver: could not be run");
  } else if (status == 124 || status == 137) {
    Tried("xdg-screensaver lock: no answer within 10 s");
  } else if (said[0] == '\0') {
    Tried("xdg-screensaver lock: exit status %d", status);
  } else {
    Tried("xdg-screensaver lock: exit status %d (\"%s\")", status, said);
  }
  return kNotLocked;
}

// Its start-up question is PATH's, asked before any bus.
const LockRoute kXdgScreensaverRoute = {CouldLock, true, Lock};
