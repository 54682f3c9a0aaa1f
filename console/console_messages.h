// The program's two texts and the operations that write them.
#pragma once

#include "platform_api.h"

// "开始" and a line feed, in the narrow encoding of the platform's console: GBK (code page 936)
// on Windows, UTF-8 elsewhere. Written with printf as its "%s" argument.
extern const char kStartBanner[];

// "鼠标位置获取失败" ("getting the mouse position failed"), eight UTF-16 code units and a
// terminating zero, no line break.
extern const WCHAR kCursorReadFailed[];
constexpr DWORD kCursorReadFailedLength = 8;

// Writes the banner to standard output once watching begins, and flushes standard output.
void PrintStartBanner();

// Shows the failure text on the console behind the standard-output handle taken at start-up.
// Nothing is shown when that handle is not a console.
void ReportCursorReadFailed();
