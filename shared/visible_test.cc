// Tests of how descriptions are shown on a terminal.
#include "visible.h"

#include <string>

#include <gtest/gtest.h>

namespace {

std::string shown(const std::string &text) {
    std::string out;
    const uint8_t *p = reinterpret_cast<const uint8_t *>(text.data());
    size_t len = text.size();
    while (len > 0) {
        char unit[VISIBLE_UNIT_MAX];
        size_t used = 0;
        size_t n = visible_unit(p, len, unit, &used);
        EXPECT_GE(used, 1u);
        EXPECT_LE(used, len);
        out.append(unit, n);
        p += used;
        len -= used;
    }
    return out;
}

struct visible_case {
    const char *name;
    std::string text, want;
};

}  // namespace

TEST(Visible, ControlsAndBadUtf8AreShownAndTextIsKept) {
    const visible_case cases[] = {
        {"plain text, newline and tab", "Jazz\tFM\n", "Jazz\tFM\n"},
        {"ESC sequence", "\x1b]0;owned\x07", "^[]0;owned^G"},
        {"CR, BS, ^A, unit separator", "a\rb\b\x01\x1f", "a^Mb^H^A^_"},
        {"DEL", "x\x7f", "x^?"},
        {"UTF-8 of 2, 3 and 4 bytes", "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x8e\xb5",
         "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x8e\xb5"},
        {"NBSP, the first code point after C1", "\xc2\xa0", "\xc2\xa0"},
        {"C1 controls CSI and NEL", "\xc2\x9b" "2J\xc2\x85", "\\xc2\\x9b" "2J\\xc2\\x85"},
        {"bidi override and embedding, U+202F kept",
         "\xe2\x80\xae" "gpj.exe\xe2\x80\xaa\xe2\x80\xaf",
         "\\xe2\\x80\\xae" "gpj.exe\\xe2\\x80\\xaa\xe2\x80\xaf"},
        {"bidi isolates, U+2065 and U+206A kept",
         "\xe2\x81\xa6x\xe2\x81\xa9\xe2\x81\xa5\xe2\x81\xaa",
         "\\xe2\\x81\\xa6x\\xe2\\x81\\xa9\xe2\x81\xa5\xe2\x81\xaa"},
        {"raw 8-bit CSI", "\x9b" "2J", "\\x9b" "2J"},
        {"stray continuation and bad lead bytes", "\x80\xc0\xc1\xf5\xff", "\\x80\\xc0\\xc1\\xf5\\xff"},
        {"overlong slash", "\xc0\xaf", "\\xc0\\xaf"},
        {"overlong 3-byte form", "\xe0\x80\xaf", "\\xe0\\x80\\xaf"},
        {"surrogate", "\xed\xa0\x80", "\\xed\\xa0\\x80"},
        {"past U+10FFFF", "\xf4\x90\x80\x80", "\\xf4\\x90\\x80\\x80"},
        {"largest code point", "\xf4\x8f\xbf\xbf", "\xf4\x8f\xbf\xbf"},
        {"sequence cut by the end", "ok\xe2\x82", "ok\\xe2\\x82"},
        {"sequence cut by ASCII", "\xe2\x82!", "\\xe2\\x82!"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.want, shown(c.text));
    }
}
