// bench_util_test.cc - the arithmetic the benchmark verdicts rest on.
#include "bench_util.h"

#include <gtest/gtest.h>

#include <vector>

TEST(ChannelList, EntriesCarryTheirWholeLengthBigEndian) {
    std::vector<uint8_t> msg = make_channel_list({{1, "ab"}, {200, std::string(300, 'x')}});
    ASSERT_EQ(msg.size(), 1u + (3 + 3) + (3 + 301));
    EXPECT_EQ(msg[0], 0);
    EXPECT_EQ(msg[1], 1);
    EXPECT_EQ(msg[2], 0);
    EXPECT_EQ(msg[3], 6);
    EXPECT_EQ(msg[6], 0) << "description ends in NUL";
    EXPECT_EQ(msg[7], 200);
    EXPECT_EQ(msg[8], 304 >> 8);
    EXPECT_EQ(msg[9], 304 & 0xff);
    EXPECT_EQ(msg.back(), 0);
}

TEST(DataMessage, HasChannelByteAndPayload) {
    std::vector<uint8_t> msg = make_data_message(7, 8192);
    ASSERT_EQ(msg.size(), 8193u);
    EXPECT_EQ(msg[0], 7);
}

struct due_case {
    const char *name;
    double elapsed, rate;
    long count;
    int burst;
    long want;
};
const due_case DUE_CASES[] = {
    {"first is due at once", 0, 1000, 10, 1, 1},
    {"one per period", 0.0025, 1000, 10, 1, 3},
    {"never more than count", 5, 1000, 10, 1, 10},
    {"nothing before the start", -1, 1000, 10, 1, 0},
    {"first group at once", 0, 1000, 100, 16, 16},
    {"a group every burst periods", 0.0159, 1000, 100, 16, 16},
    {"second group", 0.016, 1000, 100, 16, 32},
    {"last group cut at count", 1, 1000, 100, 16, 100},
};
TEST(DueBy, Table) {
    for (const due_case &c : DUE_CASES) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.want, due_by(c.elapsed, c.rate, c.count, c.burst));
    }
}

struct excess_case {
    const char *name;
    std::vector<chunk> chunks;
    double want;
};
const excess_case EXCESS_CASES[] = {
    {"nothing arrived", {}, -5},
    {"one full burst", {{0.2, 5}}, 0},
    {"a burst per second", {{0, 5}, {1, 5}, {2, 5}, {3, 5}}, 0},
    {"ticks a little late stay inside", {{0, 5}, {1.01, 5}, {2.02, 5}}, 0},
    {"second burst early", {{0, 5}, {0.5, 5}}, 2.5},
    {"excess found in a later window", {{0, 1}, {5, 5}, {5.2, 5}}, 4},
    {"one byte too many at once", {{0, 6}}, 1},
};
TEST(MaxBoundExcess, Table) {
    for (const excess_case &c : EXCESS_CASES) {
        SCOPED_TRACE(c.name);
        EXPECT_NEAR(c.want, max_bound_excess(c.chunks, 5, 5), 1e-9);
    }
}

TEST(Median, OddEvenAndEmpty) {
    EXPECT_EQ(median({3, 1, 2}), 2);
    EXPECT_EQ(median({4, 1, 3, 2}), 2.5);
    EXPECT_EQ(median({}), 0);
}

TEST(RateLadder, RisesGeometricallyAndStopsAtLast) {
    std::vector<double> r = rate_ladder(5000, 20000, 1.5);
    EXPECT_EQ(r, (std::vector<double>{5000, 7500, 11500, 17000}));
}

TEST(BisectRate, GeometricMiddleRoundedTo100) {
    EXPECT_EQ(bisect_rate(38500, 57500), 47100);
    EXPECT_EQ(bisect_rate(1000, 1500), 1200);
    EXPECT_EQ(bisect_rate(5000, 5000), 5000);
}

struct head_case {
    const char *name;
    std::string head;
    int status;
    bool chunked;
};
const head_case HEAD_CASES[] = {
    {"plain stream", "HTTP/1.0 200 OK\r\nContent-Type: audio/mpeg\r\n\r\n", 200, false},
    {"chunked, any case", "HTTP/1.1 200 OK\r\nTRANSFER-encoding:  Chunked\r\n\r\n", 200, true},
    {"shoutcast status line", "ICY 200 OK\r\n\r\n", 200, false},
    {"refused", "HTTP/1.1 503 Service Unavailable\r\n\r\n", 503, false},
    {"a header that only mentions it",
     "HTTP/1.1 200 OK\r\nX-Note: transfer-encoding: chunked\r\n\r\n", 200, false},
    {"no status line", "200 OK\r\n\r\n", 0, false},
    {"status of four digits", "HTTP/1.1 2000 OK\r\n\r\n", 0, false},
};
TEST(HttpHead, Table) {
    for (const head_case &c : HEAD_CASES) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.head.size(), http_head_length(c.head + "body"));
        EXPECT_EQ(0u, http_head_length(c.head.substr(0, c.head.size() - 1)));
        http_head h = http_parse_head(c.head);
        EXPECT_EQ(c.status, h.status);
        EXPECT_EQ(c.chunked, h.chunked);
    }
}

struct chunk_case {
    const char *name;
    std::string coded;
    bool ok, ended;
    std::string data;
};
const chunk_case CHUNK_CASES[] = {
    {"two chunks, still open", "3\r\nabc\r\nA;ext=1\r\n0123456789\r\n", true, false,
     "abc0123456789"},
    {"last chunk and trailer", "2\r\nab\r\n0\r\nX-T: 1\r\n\r\n", true, true, "ab"},
    {"no hex size", "zz\r\nab\r\n", false, false, ""},
    {"data longer than its size", "2\r\nabc\r\n", false, false, "ab"},
};
// Every split of the coded bytes into two pieces decodes alike: the size
// line, the data and the CRLF after it may each arrive in parts.
TEST(Dechunk, TableAtEverySplit) {
    for (const chunk_case &c : CHUNK_CASES) {
        for (size_t cut = 0; cut <= c.coded.size(); cut++) {
            SCOPED_TRACE(std::string(c.name) + ", split at " + std::to_string(cut));
            dechunker d;
            std::string out;
            bool ok = dechunk(&d, c.coded.data(), cut, &out) &&
                      dechunk(&d, c.coded.data() + cut, c.coded.size() - cut, &out);
            EXPECT_EQ(c.ok, ok);
            EXPECT_EQ(c.data, out);
            if (ok) {
                EXPECT_EQ(c.ended, dechunk_ended(d));
            }
        }
    }
}

TEST(FindWithin, UnbrokenRunsOnly) {
    std::string ref;
    for (int i = 0; i < 3000; i++) ref += std::to_string(i) + ",";
    EXPECT_EQ(0, find_within(ref, ref));
    EXPECT_EQ(5000, find_within(ref, ref.substr(5000, 6000)));
    std::string gap = ref.substr(5000, 5000) + ref.substr(10001, 100);
    EXPECT_EQ(-1, find_within(ref, gap)) << "one byte missing after the first 4 KiB";
    EXPECT_EQ(-1, find_within(ref, ref.substr(100) + "x")) << "runs past the reference's end";
    EXPECT_EQ(-1, find_within(ref, ""));
}

// The lossy-hop count rests on this: a gap skips forward, across the
// cycle's end too, and an item of no place is not found.
TEST(CycleFind, SkipsForwardAcrossTheCycleEnd) {
    const std::string cycle = "abcde";
    auto is = [&](char c) { return [&cycle, c](size_t i) { return cycle[i] == c; }; };
    EXPECT_EQ(7, cycle_find(7, 5, is('c'))) << "the next item itself";
    EXPECT_EQ(11, cycle_find(8, 5, is('b'))) << "d, e and a lost, past the cycle's end";
    EXPECT_EQ(-1, cycle_find(8, 5, is('x')));
}

TEST(Percentile, TakenFromTheSortedValues) {
    std::vector<double> v;
    for (int i = 100; i >= 1; i--) v.push_back(i);
    EXPECT_EQ(1, percentile(v, 0));
    EXPECT_EQ(51, percentile(v, 50));
    EXPECT_EQ(100, percentile(v, 99));
    EXPECT_EQ(100, percentile(v, 100)) << "the largest, not one past it";
    EXPECT_EQ(-1, percentile({}, 50));
}

// The benchmark's options read from words, with the program's name put first.
struct parsed {
    int n = 0;
    long big = 0;
    double x = 0;
    std::string s;
    bool flag = false;
};
bool parse_words(std::vector<std::string> words, parsed *p) {
    words.insert(words.begin(), "bench");
    std::vector<char *> argv;
    for (std::string &w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    return bench_parse_args(
        static_cast<int>(words.size()), argv.data(),
        {{"n", &p->n}, {"big", &p->big}, {"x", &p->x}, {"s", &p->s}, {"flag", &p->flag}});
}

TEST(BenchArgs, ReadsEveryKind) {
    parsed p;
    ASSERT_TRUE(
        parse_words({"--n", "-12", "--big=5000000000", "--x", "2.5", "--s", "a b", "--flag"}, &p));
    EXPECT_EQ(-12, p.n);
    EXPECT_EQ(5000000000L, p.big);
    EXPECT_EQ(2.5, p.x);
    EXPECT_EQ("a b", p.s);
    EXPECT_TRUE(p.flag);
    parsed again;
    EXPECT_TRUE(parse_words({"--n", "3"}, &again)) << "a second parse starts afresh";
    EXPECT_EQ(3, again.n);
}

TEST(BenchArgs, RefusesWhatIsNoOptionOrNoNumber) {
    const std::vector<std::vector<std::string>> refused = {
        {"--n", "12x"}, {"--n", ""}, {"--n", "5000000000"}, {"--x", "fast"}, {"--bogus", "1"},
        {"left-over"},  {"--n"},     {"--flag=1"},
    };
    for (const auto &words : refused) {
        SCOPED_TRACE(words[0] + (words.size() > 1 ? " " + words[1] : ""));
        parsed p;
        EXPECT_FALSE(parse_words(words, &p));
    }
}
