// Typed lines while the client plays: which switch, which show the list,
// which get the hint, and how bytes read from a terminal become lines.
#include "tune.h"

#include <gtest/gtest.h>

#include "proto_encode.h"

namespace {

using bytes = std::vector<uint8_t>;

bytes list_of(const std::vector<std::pair<int, std::string>> &entries) {
    bytes m = encode_list_start();
    for (const auto &[id, desc] : entries) encode_list_entry(&m, static_cast<uint8_t>(id), desc);
    return m;
}

std::bitset<256> listed_of(const bytes &list) {
    return tune_listed(list.data(), list.size());
}

TEST(TuneLine, ListedChannelsSwitchEnterShowsTheListAndAllElseGetsTheHint) {
    const std::bitset<256> listed = listed_of(list_of({{1, "one"}, {2, "two"}, {255, "x"}}));
    struct line_case {
        const char *line;
        tune_kind want;
        int chnid;
    };
    const line_case cases[] = {
        {"", TUNE_LIST, 0},
        {"  \t", TUNE_LIST, 0},
        {"2", TUNE_SWITCH, 2},
        {" 2\r", TUNE_SWITCH, 2},
        {"02", TUNE_SWITCH, 2},
        {"+1", TUNE_SWITCH, 1},
        {"255", TUNE_SWITCH, 255},
        {"0", TUNE_HINT, 0},
        {"3", TUNE_HINT, 0},
        {"256", TUNE_HINT, 0},
        {"257", TUNE_HINT, 0},
        {"-1", TUNE_HINT, 0},
        {"2x", TUNE_HINT, 0},
        {"2 3", TUNE_HINT, 0},
        {"two", TUNE_HINT, 0},
        {"0x2", TUNE_HINT, 0},
        {"18446744073709551618", TUNE_HINT, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string("\"") + c.line + "\"");
        tune_action a = tune_line(c.line, listed);
        EXPECT_EQ(c.want, a.kind);
        if (c.want == TUNE_SWITCH) {
            EXPECT_EQ(c.chnid, a.chnid);
        }
    }
    EXPECT_EQ("type a channel of the list (1 2 255) and Enter; Enter alone shows the list\n",
              tune_hint(listed));
}

TEST(TuneLine, TheListIsItsEntriesUpToTheFirstThatDoesNotFit) {
    bytes list = list_of({{4, "four"}, {9, "nine"}});
    bytes bad = {7, 0, 0};  // len 0
    list.insert(list.end(), bad.begin(), bad.end());
    std::bitset<256> want;
    want.set(4).set(9);
    EXPECT_EQ(want, listed_of(list));
}

TEST(TuneSplit, LinesSpanReadsAndALongLineIsCut) {
    tuning t;
    std::vector<std::string> lines;
    tune_split(&t, "1", 1, &lines);
    EXPECT_TRUE(lines.empty());
    tune_split(&t, "2\n\n3\n4", 6, &lines);
    EXPECT_EQ((std::vector<std::string>{"12", "", "3"}), lines);
    std::string long_line = "5" + std::string(1000, ' ') + "x\n";
    tune_split(&t, long_line.data(), long_line.size(), &lines);
    ASSERT_EQ(4u, lines.size());
    EXPECT_EQ("45" + std::string(TUNE_LINE_MAX - 2, ' '), lines[3]);
    EXPECT_EQ("", t.partial);
}

}  // namespace
