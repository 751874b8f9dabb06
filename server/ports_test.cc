// The server's ports: a default gives way to a port given, and two given
// ports that are one are refused, naming both options.
#include "ports.h"

#include <gtest/gtest.h>

namespace {

constexpr int D = -1;  // not given: the default beside the port

TEST(Ports, DefaultsYieldToGivenPortsAndGivenPortsThatAreOneAreRefused) {
    struct ports_case {
        const char *name;
        int port, np, rp, tp;
        int want_np, want_rp, want_tp;
        const char *note, *why;
    };
    // clang-format off
    const ports_case cases[] = {
        {"the defaults", D, D, D, D, 1990, 1991, 1992, "", ""},
        {"-N 1991 turns the default repair off", D, 1991, D, D, 1991, 0, 1992,
         "no repair datagrams: --now-playing-port takes port 1991, their default (the port + 2); "
         "--repair-port N sends them to port N", ""},
        {"--repair-port 1990 turns the default now playing off", D, D, 1990, D, 0, 1990, 1992,
         "no now-playing datagrams: --repair-port takes port 1990, their default (the port + 1); "
         "--now-playing-port N sends them to port N", ""},
        {"both given as one", D, 1995, 1995, D, 0, 0, 0, "",
         "--now-playing-port and --repair-port both give port 1995; give either another port"},
        {"-N on a given -P", 2000, 2000, D, D, 0, 0, 0, "",
         "--port and --now-playing-port both give port 2000; give either another port"},
        {"--repair-port on the default port", D, D, 1989, D, 0, 0, 0, "",
         "--repair-port gives port 1989, which --port has by default; give either another port"},
        {"none twice", D, 0, 0, D, 0, 0, 1992, "", ""},
        {"-N 0 and the default repair", D, 0, D, D, 0, 1991, 1992, "", ""},
        {"-N 1992 turns the default timing off", D, 1992, D, D, 1992, 1991, 0,
         "no timing datagrams: --now-playing-port takes port 1992, their default (the port + 3); "
         "--timing-port N sends them to port N", ""},
        {"--timing-port on the default port", D, D, D, 1989, 0, 0, 0, "",
         "--timing-port gives port 1989, which --port has by default; give either another port"},
        {"--timing-port and -N as one", D, 1995, D, 1995, 0, 0, 0, "",
         "--now-playing-port and --timing-port both give port 1995; give either another port"},
        {"no default timing port above 65532", 65533, D, D, D, 65534, 65535, 0, "", ""},
    };
    // clang-format on
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<send_port> ports =
            ports_table(c.port == D ? 1989 : c.port, c.port != D, c.np, c.rp, c.tp);
        std::string note = "left over";
        EXPECT_EQ(c.why, ports_settle(&ports, &note));
        if (*c.why != '\0') continue;
        EXPECT_EQ(c.note, note);
        EXPECT_EQ(c.want_np, ports[1].port);
        EXPECT_EQ(c.want_rp, ports[2].port);
        EXPECT_EQ(c.want_tp, ports[3].port);
    }
}

}  // namespace
