// The usage texts of stream_server, stream_gateway and stream_sender quote
// the defaults that the programs use: a default changed in one place only
// shows here. (The client's help is four fixed lines that quote none.)
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "gateway.h"
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

TEST(Usage, EachOptionQuotesTheDefaultItsProgramUses) {
    struct quote_case {
        const char *usage;
        const char *option;
        std::string value;
    };
    const server_conf s;
    const gateway_conf g;
    const sender_conf t;
    const quote_case cases[] = {
        {SERVER_USAGE, "--mgroup", s.group},
        {SERVER_USAGE, "--port", std::to_string(s.port)},
        {SERVER_USAGE, "--ttl", std::to_string(s.ttl)},
        {SERVER_USAGE, "--payload", std::to_string(s.send.payload)},
        {SERVER_USAGE, "--list-interval", std::to_string(s.send.list_interval_ns / 1'000'000)},
        {GATEWAY_USAGE, "--mgroup", g.group},
        {GATEWAY_USAGE, "--port", std::to_string(g.port)},
        {GATEWAY_USAGE, "--listen", std::to_string(g.listen_port)},
        {GATEWAY_USAGE, "--burst", std::to_string(g.burst_ms)},
        {GATEWAY_USAGE, "--lag", std::to_string(g.lag_s)},
        {GATEWAY_USAGE, "--listeners", std::to_string(g.listeners_max)},
        {SENDER_USAGE, "--group", t.group},
        {SENDER_USAGE, "--port", std::to_string(t.port)},
        {SENDER_USAGE, "--payload", std::to_string(t.payload)},
        {SENDER_USAGE, "--rate", std::to_string(t.rate)},
        {SENDER_USAGE, "--list-every", std::to_string(t.list_every_ms)},
        {SENDER_USAGE, "--repeat", std::to_string(t.repeat)},
        {SENDER_USAGE, "--gap", std::to_string(t.gap_ms)},
        {SENDER_USAGE, "--duration", std::to_string(t.duration_ms)},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.usage, strcspn(c.usage, "\n")) + ": " + c.option);
        std::vector<std::string> words = quoted(c.usage, c.option);
        EXPECT_NE(words.end(), std::find(words.begin(), words.end(), c.value)) << c.value;
    }
    EXPECT_EQ("0.0.0.0", std::string(g.listen_addr));  // "all addresses"
}

}  // namespace
