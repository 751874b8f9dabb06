// report.h - a program's reports: the core modules write plain lines, and
// the program's main hands them a stream that puts its name before each.
#pragma once

#include <stdio.h>

// A line-buffered stream that writes each line to `to` as "name: line",
// in one write. Null when it cannot be made (errno set). It lives as long
// as the process.
FILE *report_stream(FILE *to, const char *name);
