// The player's command line: what each option sets, the ports that
// follow from --port, and every refusal worded as the user will read it.
#include "player_conf.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

// Parses args after the program's name.
conf_verdict parse(std::vector<std::string> args, player_conf *c, std::string *why) {
    args.insert(args.begin(), "stream_player");
    std::vector<char *> argv;
    for (std::string &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    return player_conf_parse(static_cast<int>(args.size()), argv.data(), c, why);
}

TEST(PlayerConf, OptionsSetWhatTheySayAndPortsFollowThePort) {
    struct accepted {
        std::vector<std::string> args;
        int channel, buffer_ms, latency_ms;
        long long trim_ns;
        bool repair;
        int now_playing, timing;
    };
    // clang-format off
    const accepted cases[] = {
        {{}, 0, 100, 3000, 0, true, 1990, 1992},
        {{"-c", "2", "--buffer", "20", "--latency", "2500", "--trim", "-2.5"},
         2, 20, 2500, -2'500'000, true, 1990, 1992},
        {{"--channel=255", "--no-repair", "--trim", "+0.1"}, 255, 100, 3000, 100'000, false, 1990, 1992},
        {{"-P", "5000", "--now-playing-port", "0"}, 0, 100, 3000, 0, true, 0, 5003},
        {{"-P", "65535", "--no-repair", "--timing-port", "7"}, 0, 100, 3000, 0, false, 0, 7},
        {{"-P", "65533", "--timing-port", "0"}, 0, 100, 3000, 0, true, 65534, 0},
    };
    // clang-format on
    for (const accepted &a : cases) {
        SCOPED_TRACE(testing::PrintToString(a.args));
        player_conf c;
        std::string why;
        ASSERT_EQ(CONF_RUN, parse(a.args, &c, &why)) << why;
        EXPECT_EQ(a.channel, c.channel);
        EXPECT_EQ(a.buffer_ms, c.buffer_ms);
        EXPECT_EQ(a.latency_ms, c.latency_ms);
        EXPECT_EQ(a.trim_ns, c.trim_ns);
        EXPECT_EQ(a.repair, c.repair);
        EXPECT_EQ(a.now_playing, c.now_playing_port);
        EXPECT_EQ(a.timing, c.timing_port);
    }
}

TEST(PlayerConf, MisuseSaysWhatWasWrong) {
    struct refused {
        std::vector<std::string> args;
        const char *why;
    };
    // clang-format off
    const refused cases[] = {
        {{"-c", "0"}, "--channel must be a number from 1 to 255, not '0'"},
        {{"--buffer", "4"}, "--buffer must be a number from 5 to 2000, not '4'"},
        {{"-P", "0"}, "--port must be a number from 1 to 65535, not '0'"},
        {{"--trim", "1.25"}, "--trim must be milliseconds from -1000 to 1000 in steps of 0.1, not '1.25'"},
        {{"-P", "65533", "--no-repair", "-P", "65534"}, "--port above 65532 has no timing port: give --timing-port"},
        {{"-P", "65534", "--timing-port", "9"}, "--port above 65533 has no repair port: give --no-repair"},
        {{"-x"}, "unknown option '-x'"},
        {{"--loud"}, "unknown option '--loud'"},
        {{"-c"}, "option '-c' needs a value"},
        {{"--device"}, "option '--device' needs a value"},
        {{"-c", "1", "2"}, "no arguments are taken, not '2'"},
        {{"--radio", "Kitchen", "-P", "5004"},
         "--radio looks for the radio on the LAN: give it without -M, -P and -S"},
        {{"-S", "10.0.0.1", "--list-radios"},
         "--list-radios looks for the radio on the LAN: give it without -M, -P and -S"},
    };
    // clang-format on
    for (const refused &r : cases) {
        SCOPED_TRACE(testing::PrintToString(r.args));
        player_conf c;
        std::string why;
        EXPECT_EQ(CONF_MISUSE, parse(r.args, &c, &why));
        EXPECT_EQ(r.why, why);
    }
    player_conf c;
    std::string why;
    EXPECT_EQ(CONF_HELP, parse({"-c", "1", "-H"}, &c, &why));
}

TEST(TrimFromText, TenthsOfAMillisecondUpToASecondEitherWay) {
    struct trim_case {
        const char *text;
        bool ok;
        long long ns;
    };
    // clang-format off
    const trim_case cases[] = {
        {"0", true, 0}, {"2.5", true, 2'500'000}, {"-0.1", true, -100'000}, {"+12", true, 12'000'000},
        {"1000", true, 1'000'000'000}, {"-1000.0", true, -1'000'000'000}, {"007.5", true, 7'500'000},
        {"1000.1", false, 0}, {"1.25", false, 0}, {".5", false, 0}, {"1.", false, 0}, {"", false, 0},
        {"-", false, 0}, {"1e3", false, 0}, {" 1", false, 0}, {"99999999999999999999", false, 0},
    };
    // clang-format on
    for (const trim_case &t : cases) {
        SCOPED_TRACE(std::string("\"") + t.text + "\"");
        long long ns = 0;
        EXPECT_EQ(t.ok, trim_from_text(t.text, &ns));
        EXPECT_EQ(t.ok ? t.ns : 0, ns);
    }
}

}  // namespace
