// stream_player.cc - plays a channel of the multicast radio on an audio
// device of its own, each sample at its due time on the server's clock
// plus a latency that every room shares, so that all rooms play the same
// sample at the same moment. Here: main, which reads the options and has
// the rest (run.cc) start, play and stop.
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "find.h"
#include "lan_follow.h"
#include "player_conf.h"
#include "run.h"
#include "std_fds.h"

namespace {

const program_usage PLAYER = {"stream_player", PLAYER_USAGE};

// The options of the command line; ends the process after -H or a misuse.
player_conf conf_or_exit(int argc, char **argv) {
    player_conf conf;
    std::string why;
    switch (player_conf_parse(argc, argv, &conf, &why)) {
    case CONF_RUN:
        return conf;
    case CONF_HELP:
        usage_exit(PLAYER_USAGE, true);
    case CONF_MISUSE:
        break;
    }
    misuse_exit(PLAYER, why);
}

// --list-radios: the radios on the LAN on standard output, then the end.
[[noreturn]] void list_radios_exit() {
    std::vector<found_radio> radios;
    std::string why;
    if (!find_radios(&radios, &why)) {
        fprintf(stderr, "stream_player: cannot look for radios on the LAN: %s\n", why.c_str());
        exit(1);
    }
    for (const auto &r : radios) printf("%s\n", find_line(r).c_str());
    exit(fflush(stdout) == 0 ? 0 : 1);
}

// Without -M, -P and -S: the radio on the LAN that conf asks for, in
// *found, which conf then points into, and true; the defaults when no
// responder answers or no radio is there, unless --radio named one. Ends
// the process when the named one is not there, or there are several and
// none is named.
bool find_or_exit(player_conf *conf, found_radio *found) {
    if (conf->placed) return false;
    std::vector<found_radio> radios;
    std::string why;
    bool browsed = find_radios(&radios, &why);
    int i = find_choose(radios, conf->radio);
    if (i >= 0) {
        *found = radios[static_cast<size_t>(i)];
        find_apply(*found, conf);
        fprintf(stderr, "stream_player: found %s\n", find_line(*found).c_str());
        return true;
    }
    if (i == -2) {
        fprintf(stderr, "stream_player: several radios on the LAN; choose one with --radio NAME:\n");
        for (const auto &r : radios) fprintf(stderr, "  %s\n", find_line(r).c_str());
        exit(1);
    }
    std::string seen = browsed ? "no radio on the LAN" : "cannot look on the LAN: " + why;
    if (conf->radio) {
        fprintf(stderr, "stream_player: no radio named '%s' on the LAN%s\n", conf->radio,
                browsed ? "" : (": " + why).c_str());
        exit(1);
    }
    fprintf(stderr, "stream_player: %s; joining %s port %d\n", seen.c_str(), conf->group, conf->port);
    return false;
}

// The radio found on the LAN, which the options may point into.
found_radio the_radio;

// The player's record is large (its buffers, a channel's titles), and it
// lives as long as the process.
player the_player;

}  // namespace

int main(int argc, char **argv) {
    if (open_missing_std_fds() < 0) return 1;
    // A gone reader of the lines shows as a failed write, not as a fatal signal.
    signal(SIGPIPE, SIG_IGN);
    player_conf conf = conf_or_exit(argc, argv);
    if (conf.list_radios) list_radios_exit();
    bool found = find_or_exit(&conf, &the_radio);
    if (!player_start(&the_player, conf)) return 1;
    // A radio found there is followed there.
    if (found) lan_follow_start(&the_player, the_radio);
    int status = player_run(&the_player);
    lan_follow_stop(&the_player);
    player_stop(&the_player);
    return status;
}
