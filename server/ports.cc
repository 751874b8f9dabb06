// ports.cc - the server's ports kept apart: defaults yield, given ones clash.
#include "ports.h"

#include "now_playing.h"
#include "timing.h"

namespace {

// What a and b, both at one port, mean: "" when the default of the two
// was turned off (*note said), else the complaint. a comes first in the
// table.
std::string settle_pair(send_port *a, send_port *b, std::string *note) {
    std::string n = std::to_string(a->port);
    if (a->given && b->given)
        return a->option + std::string(" and ") + b->option + " both give port " + n +
               "; give either another port";
    send_port *def = b->given ? a : b;
    const send_port *took = def == a ? b : a;
    if (!def->may_be_off)
        return took->option + std::string(" gives port ") + n + ", which " + def->option +
               " has by default; give either another port";
    if (!note->empty()) *note += "\n";
    *note += std::string("no ") + def->sends + ": " + took->option + " takes port " + n +
             ", their default (" + def->beside + "); " + def->option + " N sends them to port N";
    def->port = 0;
    return "";
}

}  // namespace

std::vector<send_port> ports_table(int port, bool port_given, int np, int rp, int tp) {
    return {
        {"--port", "data", "", port, port_given, false},
        {"--now-playing-port", "now-playing datagrams", "the port + 1",
         np < 0 ? now_playing_port(port) : np, np >= 0, true},
        {"--repair-port", "repair datagrams", "the port + 2", rp < 0 ? repair_port(port) : rp,
         rp >= 0, true},
        {"--timing-port", "timing datagrams", "the port + 3", tp < 0 ? timing_port(port) : tp,
         tp >= 0, true},
    };
}

std::string ports_settle(std::vector<send_port> *ports, std::string *note) {
    note->clear();
    std::vector<send_port> &p = *ports;
    for (size_t j = 1; j < p.size(); j++)
        for (size_t i = 0; i < j && p[j].port != 0; i++) {
            if (p[i].port != p[j].port) continue;
            std::string why = settle_pair(&p[i], &p[j], note);
            if (!why.empty()) return why;
        }
    return "";
}
