// Typed lines while a listener plays: which switch, which show the list,
// which get the hint, and how bytes read from a terminal become lines.
#include "tune.h"

#include <gtest/gtest.h>

#include "proto_encode.h"

namespace {

TEST(TuneLine, ListedChannelsSwitchEnterShowsTheListAndAllElseGetsTheHint) {
    std::vector<uint8_t> list = encode_list_start();
    for (int id : {1, 2, 255}) encode_list_entry(&list, static_cast<uint8_t>(id), "x");
    list.insert(list.end(), {7, 0, 0});  // len 0: the walk stops here, 7 is not listed
    const std::bitset<256> listed = tune_listed(list.data(), list.size());
    struct line_case {
        const char *line;
        tune_kind want;
        int chnid;
    };
    // clang-format off
    const line_case cases[] = {
        {"", TUNE_LIST, 0}, {"  \t", TUNE_LIST, 0}, {"2", TUNE_SWITCH, 2}, {" 2\r", TUNE_SWITCH, 2},
        {"02", TUNE_SWITCH, 2}, {"+1", TUNE_SWITCH, 1}, {"255", TUNE_SWITCH, 255},
        {"0", TUNE_HINT, 0}, {"3", TUNE_HINT, 0}, {"7", TUNE_HINT, 0}, {"256", TUNE_HINT, 0},
        {"257", TUNE_HINT, 0}, {"-1", TUNE_HINT, 0}, {"2x", TUNE_HINT, 0}, {"2 3", TUNE_HINT, 0},
        {"two", TUNE_HINT, 0}, {"0x2", TUNE_HINT, 0}, {"18446744073709551618", TUNE_HINT, 0},
    };
    // clang-format on
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string("\"") + c.line + "\"");
        tune_action a = tune_line(c.line, listed);
        EXPECT_EQ(c.want, a.kind);
        EXPECT_EQ(c.chnid, c.want == TUNE_SWITCH ? a.chnid : 0);
    }
    EXPECT_EQ("type a channel of the list (1 2 255) and Enter; Enter alone shows the list\n",
              tune_hint(listed));
}

TEST(TuneSplit, LinesSpanReadsAndALongLineIsCut) {
    tuning t;
    std::vector<std::string> lines;
    std::string long_line = "5" + std::string(1000, ' ') + "x\n";
    for (std::string part : {std::string("1"), std::string("2\n\n3\n4"), long_line})
        tune_split(&t, part.data(), part.size(), &lines);
    std::string cut = "45" + std::string(TUNE_LINE_MAX - 2, ' ');
    EXPECT_EQ((std::vector<std::string>{"12", "", "3", cut}), lines);
}

}  // namespace
