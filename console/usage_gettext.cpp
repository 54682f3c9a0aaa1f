// The command line's answers on Linux, in the language of the program's messages (linux.h's
// `_`): the usage text and the version on standard output, a refusal on standard error.

#include <cstdio>
#include <cstdlib>

#include "console/console_messages.h"
#include "linux.h"

const char kPlatformHelpOption[] = "--help";  // none of its own

void WriteAnswer(CommandLineAnswer answer, const char* argument) {
  if (answer == kVersionAnswer) {
    printf("mousetrap %s\n", MOUSETRAP_VERSION);
    return;
  }
  if (answer == kUsageAnswer) {
    fputs(_("Usage: mousetrap [--grace SECONDS]\n"
            "       mousetrap --help | --version\n"
            "Waits a grace period, writes its start banner, then locks the session at the user's\n"
            "first input: in a plain X11 session the first movement of the mouse pointer,\n"
            "elsewhere any input.\n"
            "\n"
            "Options:\n"
            "  --grace SECONDS, --grace=SECONDS\n"
            "                   the grace period before the banner, a whole number of seconds\n"
            "                   from 0 to 3600 (7 without it); input in it is never seen\n"
            "  -h, --help       show this help and end, arming nothing\n"
            "  --version        show the version and end, arming nothing\n"
            "\n"
            "To stop it: before the banner, Ctrl+C. After it, Ctrl+C in a plain X11 session;\n"
            "where any input counts (Wayland, GNOME, Cinnamon), Ctrl+C is input and locks, so\n"
            "there run \"pkill -x mousetrap\" from another terminal.\n"
            "\n"
            "Exit status: 0 input came and the session was locked, as far as it can tell;\n"
            "1 input came and nothing locked the session; 2 refused before the banner (an\n"
            "argument it does not take, or nothing here to watch or to lock the session).\n"
            "\n"
            "The manual: man mousetrap\n"),
          stdout);
    return;
  }
  char* text = nullptr;
  // As Say writes the program's lines: "mousetrap: " and the text, in one write.
  if (asprintf(&text,
               answer == kUnknownArgument ? _("unknown argument \"%s\"; see mousetrap --help.")
               : answer == kGraceWithoutSeconds
                   ? _("%s needs a number of seconds, from 0 to 3600; see mousetrap --help.")
                   : _("bad grace period \"%s\": give a whole number of seconds from 0 to "
                       "3600; see mousetrap --help."),
               argument) >= 0) {
    fprintf(stderr, "mousetrap: %s\n", text);
  }
  free(text);
}
