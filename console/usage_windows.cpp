// The command line's answers on Windows, in Simplified Chinese, stored in GBK (code page 936), the
// banner's own encoding: the build has the compiler write this file's literals in it. The usage
// text is shown on a console as UTF-16, whatever its code page, and elsewhere (a file, a pipe)
// goes out as it is; a refusal's line goes out as it is, as the banner does, and reads correctly
// on a code page 936 console. Both through the C runtime's text-mode streams, which end each line
// with CR LF.

// <stdio.h> before any other header (console_messages.cpp says why).
#include <stdio.h>

#include "console/console_messages.h"

constexpr UINT kGbkCodePage = 936;

const char kPlatformHelpOption[] = "/?";

// Written as a format, as the other answers are: it holds no '%'.
static constexpr char kUsage[] =
    "用法：mousetrap.exe [--grace 秒数]\n"
    "等待宽限期后输出“开始”，此后鼠标一动就锁定工作站。\n"
    "  --grace 秒数    宽限期，0 到 3600 的整数秒，默认 7\n"
    "  -h, --help, /?  显示本帮助\n"
    "  --version       显示版本\n"
    "在“开始”之前或之后按 Ctrl+C 或关闭控制台窗口即可停止，不会锁定。\n"
    "退出码：0 锁定命令已运行并报告成功；1 锁定命令未能运行或报告失败；\n"
    "2 参数有误，未监视。说明见 README.md。\n";

static constexpr bool HoldsNoPercent(const char* text) {
  for (; *text != '\0'; ++text) {
    if (*text == '%') {
      return false;
    }
  }
  return true;
}
static_assert(HoldsNoPercent(kUsage), "the usage text is written as a format");

// Each answer's format. A refusal's takes the argument; the others take nothing.
static const char* const kFormats[] = {
    kUsage,
    "mousetrap " MOUSETRAP_VERSION "\n",
    "mousetrap: 无法识别的参数“%s”；用法见 mousetrap --help。\n",
    "mousetrap: %s 后缺少秒数；用法见 mousetrap --help。\n",
    "mousetrap: 宽限期“%s”无效，应为 0 到 3600 的整数秒；用法见 mousetrap --help。\n",
};
static_assert(sizeof kFormats / sizeof kFormats[0] == kBadGraceSeconds + 1,
              "one format for each answer, in the order of CommandLineAnswer");

void WriteAnswer(CommandLineAnswer answer, const char* argument) {
  // Nothing is reported or tried again.
  const HANDLE console = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode;
  if (answer == kUsageAnswer && GetConsoleMode(console, &mode)) {
    WCHAR units[sizeof kUsage];  // a byte gives at most one code unit
    WriteConsoleW(console, units,
                  MultiByteToWideChar(kGbkCodePage, 0, kUsage, static_cast<int>(sizeof kUsage - 1),
                                      units, static_cast<int>(sizeof kUsage)),
                  nullptr, nullptr);
  } else {
    // A refused argument's bytes as the C runtime gave them, in the ANSI code page: GBK on a
    // Simplified Chinese system.
#ifdef __GNUC__
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#endif
    fprintf(answer <= kVersionAnswer ? stdout : stderr, kFormats[answer], argument);
  }
}
