// The usage texts of stream_server, stream_gateway, stream_player and
// stream_sender quote the defaults that the programs use: a default changed
// in one place only shows here. (The client's help is four fixed lines that
// quote none.)
#include <getopt.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "conf.h"
#include "player_conf.h"
#include "sender_options.h"
#include "server.h"

namespace {

// The words in the last parentheses of the line of usage that shows
// option (" --name "), separated by blanks, commas, semicolons and colons.
std::vector<std::string> quoted(const std::string &usage, const std::string &option) {
    size_t at = usage.find(" " + option + " ");
    if (at == std::string::npos) return {};
    std::string line = usage.substr(at, usage.find('\n', at) - at);
    size_t open = line.rfind('(');
    std::string inside = line.substr(open + 1, line.rfind(')') - open - 1);
    std::vector<std::string> words;
    for (size_t i = 0; i < inside.size();) {
        size_t end = inside.find_first_of(" ,;:", i);
        if (end == std::string::npos) end = inside.size();
        if (end > i) words.push_back(inside.substr(i, end - i));
        i = end + 1;
    }
    return words;
}

std::string text(long long v) {
    return std::to_string(v);
}

TEST(Usage, EachOptionQuotesTheDefaultItsProgramUses) {
    struct program_case {
        const char *usage;
        std::vector<std::pair<std::string, std::string>> defaults;  // option, value
    };
    const server_conf s;
    const gateway_conf g;
    const sender_conf t;
    const player_conf l;
    // clang-format off
    const program_case programs[] = {
        {SERVER_USAGE, {{"--mgroup", s.group}, {"--port", text(s.port)}, {"--ttl", text(s.ttl)},
                        {"--payload", text(static_cast<long long>(s.send.payload))},
                        {"--list-interval", text(s.send.list_interval_ns / 1'000'000)}}},
        {GATEWAY_USAGE, {{"--mgroup", g.group}, {"--port", text(g.port)},
                         {"--listen", text(g.listen_port)}, {"--burst", text(g.burst_ms)},
                         {"--lag", text(g.lag_s)}, {"--listeners", text(g.listeners_max)},
                         {"--each-address", text(g.each_address_max)},
                         {"--segment", text(g.segment_s)}}},
        {PLAYER_USAGE, {{"--mgroup", l.group}, {"--port", text(l.port)}, {"--device", l.device},
                        {"--buffer", text(l.buffer_ms)}, {"--latency", text(l.latency_ms)},
                        {"--trim", text(l.trim_ns)}}},
        {SENDER_USAGE, {{"--group", t.group}, {"--port", text(t.port)},
                        {"--payload", text(t.payload)}, {"--rate", text(t.rate)},
                        {"--list-every", text(t.list_every_ms)}, {"--repeat", text(t.repeat)},
                        {"--gap", text(t.gap_ms)}, {"--duration", text(t.duration_ms)}}},
    };
    // clang-format on
    for (const auto &p : programs) {
        for (const auto &[option, value] : p.defaults) {
            SCOPED_TRACE(std::string(p.usage, strcspn(p.usage, "\n")) + ": " + option);
            std::vector<std::string> words = quoted(p.usage, option);
            EXPECT_NE(words.end(), std::find(words.begin(), words.end(), value)) << value;
        }
    }
    EXPECT_EQ("0.0.0.0", std::string(g.listen_addr));  // "all addresses"
}

// What getopt_long makes of the long option arg with the table longs: its
// value, '?' when it is unknown or ambiguous.
int option_value(const char *shorts, const option *longs, const std::string &arg) {
    char name[] = "program", value[] = "1";
    std::string a = arg;
    char *argv[] = {name, a.data(), value, nullptr};
    optind = 0;  // glibc starts afresh
    opterr = 0;
    return getopt_long(3, argv, shorts, longs, nullptr);
}

// Every abbreviation of a long option that worked before the options that
// came later (--timing-port, --announce, --radio, --list-radios, the
// server's --sample-rate, --audio-channels, --loudness and --state) means
// what it meant: --t is still the server's --ttl, --s its --source-port,
// --a its --announce, --l the player's --latency.
TEST(Usage, AbbreviationsKeepTheirMeaningBesideLaterOptions) {
    struct program_case {
        const char *name, *shorts;
        const option *longs;
        std::vector<std::string> before;  // the long options as they were
    };
    // clang-format off
    const program_case programs[] = {
        {"stream_server", SERVER_SHORT_OPTIONS, SERVER_LONG_OPTIONS,
         {"port", "mgroup", "help", "interface", "ttl", "source-port", "payload", "list-interval",
          "once", "now-playing-port", "repair-port", "verbose", "timing-port", "announce"}},
        {"stream_player", PLAYER_SHORT_OPTIONS, PLAYER_LONG_OPTIONS,
         {"port", "mgroup", "help", "interface", "source", "channel", "quiet", "verbose", "device",
          "buffer", "latency", "trim", "no-repair", "now-playing-port", "timing-port"}},
        {"stream_gateway", GATEWAY_SHORT_OPTIONS, GATEWAY_LONG_OPTIONS,
         {"port", "mgroup", "help", "interface", "source", "now-playing-port", "listen", "burst",
          "lag", "listeners", "name", "trust-proxy", "connections", "each-address", "repair",
          "segment"}},
    };
    // clang-format on
    for (const auto &p : programs) {
        const auto &before = p.before;
        for (const auto &name : before) {
            for (size_t n = 1; n <= name.size(); n++) {
                std::string prefix = name.substr(0, n);
                auto is_prefix = [&](const std::string &o) { return o.compare(0, n, prefix) == 0; };
                if (std::count_if(before.begin(), before.end(), is_prefix) != 1) continue;
                SCOPED_TRACE(std::string(p.name) + " --" + prefix);
                int want = option_value(p.shorts, p.longs, "--" + name);
                EXPECT_NE('?', want);
                EXPECT_EQ(want, option_value(p.shorts, p.longs, "--" + prefix));
            }
        }
    }
}

}  // namespace
