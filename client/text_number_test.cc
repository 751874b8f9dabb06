// Tests of the choice and port readers over any input.
#include "text_number.h"

#include <limits.h>

#include <string>

#include <gtest/gtest.h>

TEST(ReadChoice, ReadsLikeScanfDecimalWithoutWrapping) {
    struct row {
        const char *input;
        bool ok;
        long long want;  // when ok
        int next;        // next character left in the stream (EOF at end)
    };
    const row rows[] = {
        {"3\n", true, 3, '\n'},
        {"  \n\t 12 rest", true, 12, ' '},
        {"+7", true, 7, EOF},
        {"-0", true, 0, EOF},
        {"0005x", true, 5, 'x'},
        {"2147483647", true, INT_MAX, EOF},
        {"-2147483648", true, INT_MIN, EOF},
        {"2147483648", true, 2147483648LL, EOF},
        {"4294967297", true, 4294967297LL, EOF},
        {"-4294967297", true, -4294967297LL, EOF},
        {"", false, 0, EOF},
        {"   \n", false, 0, EOF},
        {"abc", false, 0, 'a'},
        {"-", false, 0, EOF},
        {"- 5", false, 0, ' '},
        {"+-5", false, 0, '-'},
        {"0x10", true, 0, 'x'},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(std::string("input '") + r.input + "'");
        // fmemopen wants a size above 0: an empty input is one NUL read away.
        std::string copy = r.input;
        FILE *in = fmemopen(copy.data(), copy.size() ? copy.size() : 1, "r");
        ASSERT_NE(nullptr, in);
        if (copy.empty()) getc(in);
        long long choice = -12345;
        EXPECT_EQ(r.ok, read_choice(in, &choice));
        if (r.ok) {
            EXPECT_EQ(r.want, choice);
        }
        EXPECT_EQ(r.next, getc(in));
        fclose(in);
    }
}

TEST(ReadChoice, HugeNumbersStayOutsideIntWithTheirSign) {
    struct row {
        std::string input;
        bool positive;
    };
    const row rows[] = {
        {std::string(5000, '9'), true},
        {"-" + std::string(5000, '9'), false},
        {"18446744073709551617", true},  // 2^64 + 1
        {"9223372036854775808", true},   // 2^63
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.input.substr(0, 24));
        std::string copy = r.input;
        FILE *in = fmemopen(copy.data(), copy.size(), "r");
        ASSERT_NE(nullptr, in);
        long long choice = 0;
        EXPECT_TRUE(read_choice(in, &choice));
        if (r.positive)
            EXPECT_GT(choice, INT_MAX);
        else
            EXPECT_LT(choice, INT_MIN);
        EXPECT_EQ(EOF, getc(in));
        fclose(in);
    }
}

TEST(PortFromText, CutsTheExactValueToSixteenBits) {
    struct row {
        const char *text;
        uint16_t want;
    };
    const row rows[] = {
        {"1989", 1989},
        {"0", 0},
        {"65535", 65535},
        {"65536", 0},
        {"70000", 4464},
        {"-1", 65535},
        {"-65536", 0},
        {"  +80", 80},
        {"\t443abc", 443},
        {"abc", 0},
        {"", 0},
        {"-", 0},
        {"2147483648", 0},                 // 2^31, past atoi's range
        {"4294969285", 1989},              // 2^32 + 1989
        {"18446744073709553605", 1989},    // 2^64 + 1989
        {"-18446744073709553605", 63547},  // -(2^64 + 1989)
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.text);
        EXPECT_EQ(r.want, port_from_text(r.text));
    }
    // 10^29 - 1 mod 65536, computed by long division of the digits.
    uint32_t m = 0;
    for (int i = 0; i < 29; i++) m = (m * 10 + 9) % 65536;
    EXPECT_EQ(m, port_from_text("99999999999999999999999999999"));
}
