// sender_options.cc - stream_sender's option table and the reading of its
// arguments.
#include "sender_options.h"

#include <getopt.h>
#include <stdio.h>
#include <string.h>

#include "proto.h"

namespace {

enum { OPT_REPEAT = 1000, OPT_GAP };
constexpr long long DAY_MS = 86400000;

// One option: its names, and the field it sets when that is all it does (a
// number from lo to hi, a text or a flag). The others are read by
// take_special.
struct sender_option {
    option names;  // names.val: the short letter, or an OPT_ value
    long long sender_conf::*number;
    long long lo, hi;
    std::string sender_conf::*text;
    bool sender_conf::*flag;
};

constexpr sender_option number(const char *name, int letter, long long sender_conf::*field,
                               long long lo, long long hi) {
    return {{name, required_argument, nullptr, letter}, field, lo, hi, nullptr, nullptr};
}

constexpr sender_option text(const char *name, int letter, std::string sender_conf::*field) {
    return {{name, required_argument, nullptr, letter}, nullptr, 0, 0, field, nullptr};
}

constexpr sender_option flag(const char *name, int letter, bool sender_conf::*field) {
    return {{name, no_argument, nullptr, letter}, nullptr, 0, 0, nullptr, field};
}

constexpr sender_option special(const char *name, int has_arg, int letter) {
    return {{name, has_arg, nullptr, letter}, nullptr, 0, 0, nullptr, nullptr};
}

const sender_option OPTIONS[] = {
    text("group", 'g', &sender_conf::group),
    number("port", 'p', &sender_conf::port, 0, 65535),
    text("source", 's', &sender_conf::source),
    number("source-port", 'S', &sender_conf::source_port, 0, 65535),
    text("interface", 'i', &sender_conf::iface),
    special("entry", required_argument, 'e'),
    special("file", required_argument, 'f'),
    number("payload", 'b', &sender_conf::payload, 1, MSG_MAX_PAYLOAD),
    flag("mixed", 'm', &sender_conf::mixed),
    number("rate", 'r', &sender_conf::rate, 0, 1LL << 40),
    number("list-every", 'l', &sender_conf::list_every_ms, 0, DAY_MS),
    number("wait", 'w', &sender_conf::wait_ms, 0, DAY_MS),
    text("go-file", 'G', &sender_conf::go_file),
    special("follow", required_argument, 'F'),
    flag("raw", 'x', &sender_conf::raw),
    number("repeat", OPT_REPEAT, &sender_conf::repeat, 1, 1000000),
    number("gap", OPT_GAP, &sender_conf::gap_ms, 0, DAY_MS),
    number("count", 'n', &sender_conf::count, 1, 1LL << 40),
    number("duration", 'd', &sender_conf::duration_ms, 1, DAY_MS),
    special("help", no_argument, 'h'),
};

// getopt_long's tables for OPTIONS: the long options, ended by an empty
// row, and the short letters.
void getopt_tables(std::vector<option> *longs, std::string *shorts) {
    for (const auto &o : OPTIONS) {
        longs->push_back(o.names);
        if (o.names.val > 255) continue;
        *shorts += static_cast<char>(o.names.val);
        if (o.names.has_arg == required_argument) *shorts += ':';
    }
    longs->push_back({});
}

// Splits "ID:REST" with ID a channel id from lowest to 255.
int split_id(const char *arg, std::string *rest, const char *what, int lowest) {
    const char *colon = strchr(arg, ':');
    if (!colon) misuse_exit(SENDER, std::string(what) + " takes ID:..., not '" + arg + "'");
    std::string id(arg, colon);
    *rest = colon + 1;
    return static_cast<int>(number_or_exit(SENDER, id.c_str(), lowest, 255, "a channel id"));
}

std::string unescape(const std::string &s) {
    std::string out;
    for (size_t i = 0; i < s.size(); i++) {
        if (s[i] != '\\' || i + 1 == s.size()) {
            out += s[i];
            continue;
        }
        char c = s[++i];
        out += c == 'n' ? '\n' : c == 't' ? '\t' : c;
    }
    return out;
}

bool read_whole_file(const std::string &path, std::string *out) {
    FILE *f = fopen(path.c_str(), "rb");
    if (!f) return false;
    char chunk[65536];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, f)) > 0) out->append(chunk, n);
    bool ok = !ferror(f);
    fclose(f);
    return ok;
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The bytes of hex:HEX (the argument arg, HEX its digits).
std::string from_hex(const std::string &arg, const std::string &digits) {
    std::string out;
    int high = -1;
    for (char c : digits) {
        if (c == ' ' || c == ':' || c == '.') continue;
        int v = hex_value(c);
        if (v < 0) misuse_exit(SENDER, "bad hex digit in '" + arg + "'");
        if (high < 0) {
            high = v;
        } else {
            out += static_cast<char>(high * 16 + v);
            high = -1;
        }
    }
    if (high >= 0) misuse_exit(SENDER, "odd number of hex digits in '" + arg + "'");
    return out;
}

// The options that set more than one field, or read a file, or end the
// process: --entry, --file, --follow and --help.
void take_special(int c, const char *arg, sender_conf *conf) {
    std::string rest;
    if (c == 'e') {
        // An entry may name channel 0, to test how clients take it.
        int id = split_id(arg, &rest, "--entry", CHNID_LIST);
        conf->entries.push_back({id, unescape(rest)});
    } else if (c == 'f') {
        // Data of channel 0 would be read as a channel list.
        data_file f{split_id(arg, &rest, "--file", CHNID_LIST + 1), "", 0};
        if (!read_whole_file(rest, &f.bytes)) misuse_exit(SENDER, "cannot read '" + rest + "'");
        conf->files.push_back(f);
    } else if (c == 'F') {
        conf->follow_id = split_id(arg, &conf->follow_path, "--follow", CHNID_LIST + 1);
    } else {
        usage_exit(SENDER_USAGE, true);
    }
}

// Sets what option o asks of conf, with its argument arg.
void take(const sender_option &o, const char *arg, sender_conf *conf) {
    std::string what = std::string("--") + o.names.name;
    if (o.number)
        conf->*o.number = number_or_exit(SENDER, arg, o.lo, o.hi, what.c_str());
    else if (o.text)
        conf->*o.text = arg;
    else if (o.flag)
        conf->*o.flag = true;
    else
        take_special(o.names.val, arg, conf);
}

// The mode's rules: raw datagrams, or a list with its data.
void check_mode(const sender_conf &conf) {
    if (conf.raw) {
        if (!conf.entries.empty() || !conf.files.empty())
            misuse_exit(SENDER,
                        "--raw sends only its DATAGRAM arguments; --entry and --file do not apply");
        if (conf.datagrams.empty()) misuse_exit(SENDER, "--raw needs at least one DATAGRAM");
        return;
    }
    if (!conf.datagrams.empty()) misuse_exit(SENDER, "DATAGRAM arguments need --raw");
    if (conf.entries.empty()) misuse_exit(SENDER, "give at least one --entry (or use --raw)");
    bool followed_sent = conf.follow_id == 0;
    for (const auto &f : conf.files) followed_sent = followed_sent || f.id == conf.follow_id;
    if (!followed_sent) misuse_exit(SENDER, "--follow names a channel that no --file sends");
}

}  // namespace

void sender_parse_options(int argc, char **argv, sender_conf *conf) {
    std::vector<option> longs;
    std::string shorts;
    getopt_tables(&longs, &shorts);
    int c;
    while ((c = getopt_long(argc, argv, shorts.c_str(), longs.data(), nullptr)) >= 0) {
        const sender_option *o = nullptr;
        for (const auto &row : OPTIONS)
            if (row.names.val == c) o = &row;
        if (o == nullptr) usage_exit(SENDER.after_misuse, false);  // getopt_long said what
        take(*o, optarg, conf);
    }
    for (int i = optind; i < argc; i++) conf->datagrams.push_back(argv[i]);
    check_mode(*conf);
}

std::string sender_datagram(const std::string &arg) {
    std::string out;
    if (arg.rfind("@", 0) == 0) {
        if (!read_whole_file(arg.substr(1), &out))
            misuse_exit(SENDER, "cannot read '" + arg.substr(1) + "'");
    } else if (arg.rfind("hex:", 0) == 0) {
        out = from_hex(arg, arg.substr(4));
    } else {
        misuse_exit(SENDER, "a raw datagram is hex:HEX or @PATH, not '" + arg + "'");
    }
    if (out.size() > MSG_MAX_DATAGRAM)
        misuse_exit(SENDER, "datagram '" + arg + "' is over " + std::to_string(MSG_MAX_DATAGRAM) +
                                " bytes");
    return out;
}
