// option_number.h - a number given on a command line, checked against its
// range; the programs word the complaint alike.
#pragma once

#include <string>

// True with *value set when text is a decimal number from lo to hi,
// nothing before or after it.
bool option_number(const char *text, long long lo, long long hi, long long *value);

// "WHAT must be a number from LO to HI, not 'TEXT'": what a program says
// when option_number refused text.
std::string option_number_complaint(const char *text, long long lo, long long hi, const char *what);
