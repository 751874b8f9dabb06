// options.cc - reading the options that the programs share.
#include "options.h"

#include <errno.h>
#include <stdio.h>
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

int place_option(int c, const char *arg, const char **group, int *port, const char **iface,
                 std::string *why) {
    long long v = 0;
    switch (c) {
    case 'M':
        *group = arg;
        return 1;
    case 'I':
        *iface = arg;
        return 1;
    case 'P':
        if (!option_number(arg, 1, 65535, &v)) {
            *why = option_number_complaint(arg, 1, 65535, "--port");
            return -1;
        }
        *port = static_cast<int>(v);
        return 1;
    default:
        return 0;
    }
}

void usage_exit(const char *usage, bool asked) {
    if (!asked) {
        fputs(usage, stderr);
        exit(1);
    }
    fputs(usage, stdout);
    exit(fflush(stdout) == 0 ? 0 : 1);
}
