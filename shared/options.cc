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

long long number_or_exit(const program_usage &p, const char *text, long long lo, long long hi,
                         const char *what) {
    long long v = 0;
    if (!option_number(text, lo, hi, &v))
        misuse_exit(p, option_number_complaint(text, lo, hi, what));
    return v;
}

int port_or_exit(const program_usage &p, const char *text, int lo, const char *what) {
    return static_cast<int>(number_or_exit(p, text, lo, 65535, what));
}

bool place_option(const program_usage &p, int c, const char *arg, const char **group, int *port,
                  const char **iface) {
    switch (c) {
    case 'M':
        *group = arg;
        return true;
    case 'I':
        *iface = arg;
        return true;
    case 'P':
        *port = port_or_exit(p, arg, 1, "--port");
        return true;
    default:
        return false;
    }
}

void misuse_exit(const program_usage &p, const std::string &why) {
    fprintf(stderr, "%s: %s\n%s", p.name, why.c_str(), p.after_misuse);
    exit(1);
}

void usage_exit(const char *usage, bool asked) {
    if (!asked) {
        fputs(usage, stderr);
        exit(1);
    }
    fputs(usage, stdout);
    exit(fflush(stdout) == 0 ? 0 : 1);
}
