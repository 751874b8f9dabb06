// fuzz_text.cc - any text as the port option and as the channel choice on
// standard input. Neither may misbehave, and where the text is a plain
// number that fits, both read it as the C library does.
#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "text_number.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    char *text = static_cast<char *>(malloc(size + 1));
    if (!text) return 0;
    memcpy(text, data, size);
    text[size] = '\0';

    uint16_t port = port_from_text(text);
    errno = 0;
    char *end;
    long long exact = strtoll(text, &end, 10);
    if (errno == 0 && (port & 0xffff) != (static_cast<unsigned long long>(exact) & 0xffff)) abort();

    FILE *in = fmemopen(text, size ? size : 1, "r");
    if (in) {
        long long choice = 0;
        bool got = read_choice(in, &choice);
        if (got != (end != text)) abort();
        if (got && errno == 0 && exact >= INT32_MIN && exact <= INT32_MAX && choice != exact)
            abort();
        fclose(in);
    }
    free(text);
    return 0;
}
