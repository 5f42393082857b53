// Console and log output.
//
// Every mail job reports what it does as log lines on its standard output and
// nowhere else. A line is "[HH:MM:SS] " (local time at lb_start), the texts
// added, then CR LF, written with one write call. Control bytes (< 0x20 and
// DEL) show as ".", and so does each control character written in UTF-8
// (cs_is_control: the C1 controls, the separators, the direction controls);
// other bytes from 0x80 up pass unchanged. The text stops at position 1197
// of the 1200-byte buffer, so a line is at most 1199 bytes with CR LF.
//
// There is one line buffer per process: build and flush one line before
// starting the next. Not thread-safe; only the mail-side thread logs.
#pragma once

#include <cstdint>
#include <string>

#include "platform/platform.h"

constexpr int LB_MAX = 1200;

// Output to standard output as it is (the editor process).
void con_init();
// Output for command runs: standard output, else the terminal, else nothing.
void con_cli();
// Sends finished lines to `h` (PF_INVALID drops them).
void con_set_handle(pf_file h);
// Tests: while `sink` is set, finished lines are appended to it instead of
// being written. nullptr ends the capture.
void con_capture(std::string* sink);

// Writes text as it stands, without time stamp or line end added (the plain
// "--version" line); captured like log lines.
void con_write(const char* text);

void lb_start();
void lb_add(const char* text);
void lb_num(uint64_t value);
void lb_flush();

void log_msg(const char* text);
void log_msg2(const char* text1, const char* text2);
// log_msg2 with a number: text1 followed by the value in decimal.
void log_num(const char* text1, uint64_t value);
