// radio_txt.cc - the radio's TXT record, written and read.
#include "radio_txt.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <string.h>
#include <strings.h>
#include <unistd.h>

#include "now_playing.h"
#include "options.h"
#include "utf8.h"

namespace {

struct txt_key {
    const char *key;
    int radio_txt::*field;
    int lo, hi;
};

// The numeric keys; txtvers and group are read on their own.
const txt_key NUMBERS[] = {
    {"port", &radio_txt::port, 1, 65535},
    {"np", &radio_txt::now_playing_port, 0, 65535},
    {"repair", &radio_txt::repair_port, 0, 65535},
    {"timing", &radio_txt::timing_port, 0, 65535},
    {"channels", &radio_txt::channels, 0, 255},
};

// The value of key in strings (the first that has it) in *value; false
// when none has it.
bool value_of(const std::vector<std::string> &strings, const char *key, std::string *value) {
    size_t n = strlen(key);
    for (const auto &s : strings) {
        if (s.size() > n && s[n] == '=' && strncasecmp(s.c_str(), key, n) == 0) {
            *value = s.substr(n + 1);
            return true;
        }
    }
    return false;
}

bool is_multicast(const std::string &group) {
    in_addr a{};
    return inet_pton(AF_INET, group.c_str(), &a) == 1 && IN_MULTICAST(ntohl(a.s_addr));
}

}  // namespace

std::vector<std::string> radio_txt_encode(const radio_txt &r) {
    std::vector<std::string> out = {"txtvers=" + std::to_string(RADIO_TXT_VERSION),
                                    "group=" + r.group};
    for (const auto &k : NUMBERS) out.push_back(std::string(k.key) + "=" + std::to_string(r.*k.field));
    return out;
}

bool radio_txt_decode(const std::vector<std::string> &strings, radio_txt *r, std::string *why) {
    std::string v;
    if (!value_of(strings, "txtvers", &v) || v != std::to_string(RADIO_TXT_VERSION)) {
        *why = "no txtvers=" + std::to_string(RADIO_TXT_VERSION);
        return false;
    }
    radio_txt got;
    if (!value_of(strings, "group", &got.group) || !is_multicast(got.group)) {
        *why = "no IPv4 multicast group";
        return false;
    }
    for (const auto &k : NUMBERS) {
        long long n;
        if (!value_of(strings, k.key, &v) || !option_number(v.c_str(), k.lo, k.hi, &n)) {
            *why = std::string("no ") + k.key + " from " + std::to_string(k.lo) + " to " +
                   std::to_string(k.hi);
            return false;
        }
        got.*k.field = static_cast<int>(n);
    }
    *r = got;
    return true;
}

std::string service_name_cut(const std::string &text) {
    return utf8_clean(text, SERVICE_NAME_MAX);
}

std::string default_station_name() {
    char host[256] = "";
    if (gethostname(host, sizeof host - 1) < 0 || host[0] == '\0') return "Radio";
    return "Radio on " + now_playing_clean(host);
}
