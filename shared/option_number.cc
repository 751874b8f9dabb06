// option_number.cc - numbers from the command line.
#include "option_number.h"

#include <errno.h>
#include <stdlib.h>

bool option_number(const char *text, long long lo, long long hi, long long *value) {
    char *end;
    errno = 0;
    long long v = strtoll(text, &end, 10);
    if (errno || end == text || *end || v < lo || v > hi) return false;
    *value = v;
    return true;
}

std::string option_number_complaint(const char *text, long long lo, long long hi,
                                    const char *what) {
    return std::string(what) + " must be a number from " + std::to_string(lo) + " to " +
           std::to_string(hi) + ", not '" + text + "'";
}
