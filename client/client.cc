// client.cc - the stream client: joins the multicast group, shows the
// channel list, and relays the chosen channel's payload to a player process.
// Here: main, the options and the start-up (output, sockets, player); the
// list phase (list_phase.cc) and the relay (relay.cc) take it from there.
#include <errno.h>
#include <getopt.h>
#include <net/if.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "defaults.h"
#include "inputs.h"
#include "join.h"
#include "list_phase.h"
#include "now_playing.h"
#include "options.h"
#include "output.h"
#include "player_process.h"
#include "radio_find.h"
#include "radio_follow.h"
#include "receiver.h"
#include "relay.h"
#include "repair_relay.h"
#include "std_fds.h"
#include "text_number.h"

namespace {

constexpr const char *DEFAULT_PLAYERCMD = " /usr/bin/mpg123 -   > /dev/null";
// The interface the group is joined on unless -I names one.
constexpr const char *MULTICAST_IFNAME = "enp0s3";

// The client's configuration: texts taken from the command line unconverted.
// -q goes to the receiver (rx) at once: only what follows start-up uses it.
struct client_conf_st {
    const char *receive_port;
    const char *multicast_group;
    const char *player_command;
    const char *interface;       // -I: name, index or address; null for MULTICAST_IFNAME
    const char *source;          // -S: the one sender to join for; null for any
    bool reuse_address = false;  // --reuse-address: ports shared with other sockets of the host
    bool tune = false;           // --tune: channels switched from the terminal
    bool repair = false;         // --repair: lost datagrams rebuilt from the repair port
    int now_playing_port = -1;   // --now-playing-port: 0 for none; -1 when not given
    const char *radio = nullptr;  // --radio: the radio of this name on the LAN
    bool list_radios = false;     // --list-radios: list the radios on the LAN, then end
    bool placed = false;          // -P, -M or -S given
};

client_conf_st client_conf = {DEFAULT_PORT_TEXT, DEFAULT_MGROUP, DEFAULT_PLAYERCMD, nullptr,
                              nullptr};

// The client's lines, decided at start-up: see set_up_output.
output out;
// What the client receives with, set up here and handed to the list phase
// and the relay.
receiver rx;

// The options that have a long name only, by a number that is no letter.
enum long_only {
    OPT_REUSE_ADDRESS = 256,
    OPT_TUNE,
    OPT_NOW_PLAYING_PORT,
    OPT_REPAIR,
    OPT_RADIO,
    OPT_LIST_RADIOS
};

// New long names must leave every abbreviation that works naming what it
// names: p, m, h, i, s and q are taken; t and n are the long-only options';
// l is --list-radios'. --repair and --reuse-address share r: both are new
// in one release, so no prefix that a release took changes meaning ("--r"
// and "--re" name neither). --radio came later and shares r too: it only
// takes "--ra" and longer, which named nothing before.
const option LONG_OPTIONS[] = {
    LISTENER_LONG_OPTIONS,
    {"quiet", no_argument, nullptr, 'q'},
    {"reuse-address", no_argument, nullptr, OPT_REUSE_ADDRESS},
    {"tune", no_argument, nullptr, OPT_TUNE},
    {"now-playing-port", required_argument, nullptr, OPT_NOW_PLAYING_PORT},
    {"repair", no_argument, nullptr, OPT_REPAIR},
    {"radio", required_argument, nullptr, OPT_RADIO},
    {"list-radios", no_argument, nullptr, OPT_LIST_RADIOS},
    {},
};

void print_help() {
    output_printf(&out, OUT_STDOUT, "-P --port   specify receive port\n");
    output_printf(&out, OUT_STDOUT, "-M --mgroup specify multicast group\n");
    output_printf(&out, OUT_STDOUT, "-p --player specify player \n");
    output_printf(&out, OUT_STDOUT, "-H --help   show help\n");
}

// Takes the option c that has a long name only; ends the process when its
// argument is no number of the option's range.
void long_only_option(int c, const char *arg) {
    long long port;
    switch (c) {
    case OPT_REUSE_ADDRESS:
        client_conf.reuse_address = true;
        return;
    case OPT_TUNE:
        client_conf.tune = true;
        return;
    case OPT_REPAIR:
        client_conf.repair = true;
        return;
    case OPT_RADIO:
        client_conf.radio = arg;
        return;
    case OPT_LIST_RADIOS:
        client_conf.list_radios = true;
        return;
    case OPT_NOW_PLAYING_PORT:
        if (!option_number(arg, 0, 65535, &port)) {
            fprintf(stderr, "%s\n",
                    option_number_complaint(arg, 0, 65535, "--now-playing-port").c_str());
            exit(1);
        }
        client_conf.now_playing_port = static_cast<int>(port);
        return;
    }
}

void parse_options(int argc, char **argv) {
    for (;;) {
        int c = getopt_long(argc, argv, "P:M:p:HI:S:q", LONG_OPTIONS, nullptr);
        if (c < 0) break;
        client_conf.placed = client_conf.placed || c == 'P' || c == 'M' || c == 'S';
        switch (c) {
        case 'P':
            client_conf.receive_port = optarg;
            break;
        case 'M':
            client_conf.multicast_group = optarg;
            break;
        case 'p':
            client_conf.player_command = optarg;
            break;
        case 'I':
            client_conf.interface = optarg;
            break;
        case 'S':
            client_conf.source = optarg;
            break;
        case 'q':
            rx.quiet = true;
            break;
        case OPT_REUSE_ADDRESS:
        case OPT_TUNE:
        case OPT_NOW_PLAYING_PORT:
        case OPT_REPAIR:
        case OPT_RADIO:
        case OPT_LIST_RADIOS:
            long_only_option(c, optarg);
            break;
        case 'H':
            print_help();
            flush_output(&out);
            exit(0);
        default:  // getopt_long has said what was wrong
            exit(1);
        }
    }
}

// The radio found on the LAN, which the options then point into, and its
// port as a text; followed there from the start.
found_radio the_radio;
std::string the_radio_port;
radio_follow followed;

// --list-radios lists the radios on the LAN and ends; --radio NAME joins
// the one of that name (its group, its port, and with --tune its
// now-playing port unless given), and follows it there when it moves.
// Neither: the options as they are. Ends the process when the LAN cannot
// be looked at or has no such radio.
void find_radio_or_exit() {
    if (client_conf.radio == nullptr && !client_conf.list_radios) return;
    if (client_conf.placed) {
        fprintf(stderr, "--radio and --list-radios look for the radio on the LAN: give them "
                        "without -P, -M and -S\n");
        exit(1);
    }
    std::vector<found_radio> radios;
    std::string why;
    if (!find_radios(&radios, &why)) {
        fprintf(stderr, "cannot look for radios on the LAN: %s\n", why.c_str());
        exit(1);
    }
    if (client_conf.list_radios) {
        for (const auto &r : radios) output_printf(&out, OUT_STDOUT, "%s\n", find_line(r).c_str());
        flush_output(&out);
        exit(0);
    }
    int i = find_choose(radios, client_conf.radio);
    if (i < 0) {
        fprintf(stderr, "no radio named '%s' on the LAN\n", client_conf.radio);
        exit(1);
    }
    the_radio = radios[static_cast<size_t>(i)];
    the_radio_port = std::to_string(the_radio.txt.port);
    client_conf.multicast_group = the_radio.txt.group.c_str();
    client_conf.receive_port = the_radio_port.c_str();
    followed.now_playing_given = client_conf.now_playing_port >= 0;
    followed.reuse_address = client_conf.reuse_address;
    if (client_conf.now_playing_port < 0 && client_conf.tune)
        client_conf.now_playing_port = the_radio.txt.now_playing_port;
    fprintf(stderr, "found %s\n", find_line(the_radio).c_str());
    radio_follow_start(&rx, &followed, the_radio);
}

// Joins the group as rx.data says. When -I names an interface by its
// name, or --radio a radio, a receive waits at most FOLLOW_CHECK_S, so
// that a link deleted and created again under that name is found, and a
// radio that moved (see receive_again); the relay's path gains nothing
// otherwise. Ends the process on failure.
void join_or_exit() {
    if (membership_join(rx.data) < 0) {
        perror("setsockopt()");
        exit(1);
    }
    if (!rx.data.follow && !rx.radio) return;
    timeval wait = {FOLLOW_CHECK_S, 0};
    if (setsockopt(rx.data.sd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait) < 0) {
        perror("setsockopt()");
        exit(1);
    }
}

// The joined, bound socket; ends the process on failure.
int open_socket() {
    // A group that is no multicast address is not refused here: its join
    // fails with the report of setsockopt().
    join_plan plan =
        join_plan_here({client_conf.multicast_group, client_conf.source, client_conf.interface});
    if (!plan.refused.empty()) {
        fprintf(stderr, "%s\n", plan.refused.c_str());
        exit(1);
    }
    rx.data = plan.m;
    int sd = socket(AF_INET, SOCK_DGRAM, 0);
    if (sd < 0) {
        perror("socket()");
        exit(1);
    }
    rx.data.sd = sd;
    if (!client_conf.interface) rx.data.ifindex = if_nametoindex(MULTICAST_IFNAME);
    join_or_exit();
    int loop = 1;
    if (setsockopt(sd, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof loop) < 0) {
        perror("setsockopt()");
        exit(1);
    }
    const char *failed = nullptr;
    if (membership_bind(sd, port_from_text(client_conf.receive_port), client_conf.reuse_address,
                        &failed) < 0) {
        perror(failed);
        exit(1);
    }
    return sd;
}

// The now-playing port the options ask for: --now-playing-port's, else
// with --tune at work the port above the radio's; 0 for none.
int now_playing_port_wanted() {
    if (client_conf.now_playing_port >= 0) return client_conf.now_playing_port;
    return rx.tuned ? now_playing_port(port_from_text(client_conf.receive_port)) : 0;
}

// Reports that what (repair, now-playing lines) has no socket on port: the
// call that failed and errno's description.
void report_no_socket(const char *what, int port, const char *failed) {
    int err = errno;
    std::string text =
        std::string("no ") + what + " from port " + std::to_string(port) + ": " + failed;
    errno = err;
    output_report(&out, text.c_str());
}

// With --repair: the repair socket, joined as the data socket is and
// watched beside it, and the counts said however the client ends from
// here on. Ends the client when the socket cannot be had.
void watch_repair() {
    if (!client_conf.repair) return;
    int data_port = port_from_text(client_conf.receive_port);
    int port = repair_port(data_port);
    if (port == 0) {
        output_printf(&out, OUT_STDERR, "no repair port above port %d\n", data_port);
        end_client(&out);
    }
    const char *failed = nullptr;
    int rd = repair_relay_open(&rx.repair, rx.data, static_cast<uint16_t>(port),
                               client_conf.reuse_address, &failed);
    if (rd < 0) {
        report_no_socket("repair", port, failed);
        end_client(&out);
    }
    inputs_watch(&rx.watched, INPUT_REPAIR, rd);
    player_last_word(repair_relay_say_counts);
}

// Sets up what the data phase watches beside the data socket sd, as the
// options ask: the repair socket (--repair), the terminal (--tune, when
// standard input is one; else --tune changes nothing) and the now-playing
// socket, joined as sd is. A now-playing socket that cannot be had costs
// one line, and the client goes on without it.
void watch_beside(int sd) {
    inputs_init(&rx.watched, sd);
    watch_repair();
    rx.tuned = client_conf.tune && isatty(0) == 1;
    if (rx.tuned) inputs_watch(&rx.watched, INPUT_TERMINAL, 0);
    int port = now_playing_port_wanted();
    if (port == 0) return;
    rx.now_playing = rx.data;
    const char *failed = nullptr;
    int np = membership_open(&rx.now_playing, static_cast<uint16_t>(port),
                             client_conf.reuse_address, 0, &failed);
    if (np < 0) {
        report_no_socket("now-playing lines", port, failed);
        return;
    }
    inputs_watch(&rx.watched, INPUT_NOW_PLAYING, np);
}

// Decides, once, how the lines reach standard output and standard error.
void set_up_output() {
    bool out_tty = isatty(1) == 1;
    bool err_tty = isatty(2) == 1;
    output_init(&out, 1, 2, output_plan_for(same_open_file(1, 2) == 1, out_tty, err_tty));
    rx.out = &out;
    rx.show_visible = out_tty;
    rx.err_visible = err_tty;
}

}  // namespace

int main(int argc, char **argv) {
    if (open_missing_std_fds() < 0) exit(1);
    set_up_output();
    // A gone player shows as a failed write, not as a fatal signal; so does
    // a gone reader of the client's output.
    signal(SIGPIPE, SIG_IGN);
    parse_options(argc, argv);
    find_radio_or_exit();
    int sd = open_socket();
    player_catch_ending_signals();
    flush_output(&out);  // nothing buffered may be written twice
    int pd = player_start(client_conf.player_command, sd);
    if (pd < 0) exit(1);
    watch_beside(sd);
    sockaddr_in server = list_phase(&rx);
    long long choice = read_choice_or_exit(rx);
    data_phase(&rx, pd, server, choice);
}
