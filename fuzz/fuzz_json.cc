// fuzz_json.cc - any text through the JSON string writer of /status.json.
// What must hold, whatever the bytes: the result is one JSON string, quote
// to quote, with no raw control byte and only the escapes \", \\ and
// \u00XX, and read back as JSON reads it, it gives the text byte for byte.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>

#include "status.h"

namespace {

void check(bool ok) {
    if (!ok) abort();
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string text(reinterpret_cast<const char *>(data), size);
    std::string j = json_string(text);
    check(j.size() >= 2 && j.front() == '"' && j.back() == '"');
    std::string back;
    for (size_t i = 1; i + 1 < j.size(); i++) {
        unsigned char c = static_cast<unsigned char>(j[i]);
        check(c >= 0x20 && c != 0x7F && c != '"');
        if (c != '\\') {
            back += static_cast<char>(c);
            continue;
        }
        check(i + 2 < j.size());
        char e = j[++i];
        if (e == '"' || e == '\\') {
            back += e;
            continue;
        }
        check(e == 'u' && i + 4 < j.size() && j[i + 1] == '0' && j[i + 2] == '0');
        int hi = hex_digit(j[i + 3]), lo = hex_digit(j[i + 4]);
        check(hi >= 0 && lo >= 0);
        back += static_cast<char>(hi * 16 + lo);
        i += 4;
    }
    check(back == text);
    return 0;
}
