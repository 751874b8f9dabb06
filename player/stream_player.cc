// stream_player.cc - plays a channel of the multicast radio on an audio
// device of its own, each sample at its due time on the server's clock
// plus a latency that every room shares, so that all rooms play the same
// sample at the same moment. Here: main, which reads the options and has
// the rest (run.cc) start, play and stop.
#include <signal.h>
#include <stdio.h>

#include <string>

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

// The player's record is large (its buffers, a channel's titles), and it
// lives as long as the process.
player the_player;

}  // namespace

int main(int argc, char **argv) {
    if (open_missing_std_fds() < 0) return 1;
    // A gone reader of the lines shows as a failed write, not as a fatal signal.
    signal(SIGPIPE, SIG_IGN);
    player_conf conf = conf_or_exit(argc, argv);
    if (!player_start(&the_player, conf)) return 1;
    int status = player_run(&the_player);
    player_stop(&the_player);
    return status;
}
