// playlist.cc - playlists and the address a request was sent to.
#include "playlist.h"

#include <arpa/inet.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

namespace {

// The characters of a host's name (or IPv4 address) that are taken: RFC
// 3986's unreserved ones. Its sub-delims and percent-escapes are valid
// in a name too, but no browser or player sends them, and a ',' or a ';'
// reads as something else to those who take the URL apart.
constexpr char NAME_CHARS[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-._~";
constexpr char DIGITS[] = "0123456789";
// A path's characters, percent-escapes included.
constexpr char PATH_CHARS[] =
    "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.-_~%/";
constexpr size_t HOST_MAX = 255;
constexpr size_t PREFIX_MAX = 1024;

// The first element of a header's comma-separated list, without blanks
// around it; "" for a header not sent.
std::string first_of(const char *value) {
    if (value == nullptr) return "";
    std::string v(value, strcspn(value, ","));
    size_t from = v.find_first_not_of(" \t");
    if (from == std::string::npos) return "";
    return v.substr(from, v.find_last_not_of(" \t") + 1 - from);
}

bool made_of(const std::string &text, const char *chars) {
    return strspn(text.c_str(), chars) == text.size();
}

// What follows a host: nothing, or ':' and a port of 0 to 65535 (none
// after the ':' is valid too, RFC 3986's port being *DIGIT).
bool port_ok(const char *text) {
    if (*text == '\0') return true;
    if (*text != ':') return false;
    size_t n = strlen(text + 1);
    return n <= 5 && strspn(text + 1, DIGITS) == n && atol(text + 1) <= 65535;
}

// Whether host is a Host header's value (RFC 9110 section 7.2): a name,
// an IPv4 address or an IPv6 address in brackets, then an optional
// ":PORT"; or empty, as a client sends for a target with no host.
bool host_valid(const std::string &host) {
    const char *h = host.c_str();
    if (host.size() > HOST_MAX) return false;
    if (h[0] != '[') {
        size_t name = strspn(h, NAME_CHARS);
        return (name > 0 || host.empty()) && port_ok(h + name);
    }
    const char *end = strchr(h, ']');
    in6_addr a;
    return end != nullptr && inet_pton(AF_INET6, std::string(h + 1, end).c_str(), &a) == 1 &&
           port_ok(end + 1);
}

// A prefix as it goes into the base: "" or "/PATH" with no '/' at the end.
std::string prefix_of(const char *value) {
    std::string p = first_of(value);
    if (p.empty() || p[0] != '/' || p.size() > PREFIX_MAX || !made_of(p, PATH_CHARS)) return "";
    while (!p.empty() && p.back() == '/') p.pop_back();
    return p;
}

std::string title_of(const table &t, int id, const std::string &station) {
    const std::string &desc = t.ch[id].desc;
    return station + " - " + (desc.empty() ? "channel " + std::to_string(id) : desc);
}

std::string address_of(const std::string &base, int id) {
    return base + "channels/" + std::to_string(id);
}

}  // namespace

bool playlist_origin_valid(const request_origin &r, bool trusted) {
    if (r.many_hosts || (r.host != nullptr && !host_valid(r.host))) return false;
    return !trusted || host_valid(first_of(r.fwd_host));
}

std::string playlist_base(const request_origin &r, bool trusted) {
    std::string scheme = "http", host = r.host != nullptr ? r.host : "", prefix;
    if (host.empty() || !host_valid(host)) host = r.local;
    if (trusted) {
        std::string proto = first_of(r.fwd_proto), fwd_host = first_of(r.fwd_host);
        if (strcasecmp(proto.c_str(), "https") == 0) scheme = "https";
        if (!fwd_host.empty() && host_valid(fwd_host)) host = fwd_host;
        prefix = prefix_of(r.fwd_prefix);
    }
    return scheme + "://" + host + prefix + "/";
}

std::string playlist_m3u(const table &t, int chnid, const std::string &base,
                         const std::string &station) {
    std::string out = "#EXTM3U\n";
    for (int id = 1; id < 256; id++) {
        if (!t.ch[id].heard || (chnid != 0 && id != chnid)) continue;
        out += "#EXTINF:-1," + title_of(t, id, station) + "\n" + address_of(base, id) + "\n";
    }
    return out;
}

std::string playlist_pls(const table &t, const std::string &base, const std::string &station) {
    std::string out = "[playlist]\n";
    int n = 0;
    for (int id = 1; id < 256; id++) {
        if (!t.ch[id].heard) continue;
        std::string k = std::to_string(++n);
        out += "File" + k + "=" + address_of(base, id) + "\nTitle" + k + "=" +
               title_of(t, id, station) + "\nLength" + k + "=-1\n";
    }
    return out + "NumberOfEntries=" + std::to_string(n) + "\nVersion=2\n";
}
