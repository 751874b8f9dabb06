// radio_find.cc - the radios found on the LAN.
#include "radio_find.h"

#include <string.h>

#include "utf8.h"

namespace {

// The value of key in a TXT record's strings ("key=value", the key in any
// case), in *value; false when the record has none.
bool txt_value(const std::vector<std::string> &txt, const char *key, std::string *value) {
    size_t n = strlen(key);
    for (const std::string &s : txt) {
        if (s.size() <= n || s[n] != '=' || strncasecmp(s.c_str(), key, n) != 0) continue;
        *value = s.substr(n + 1);
        return true;
    }
    return false;
}

// The address of the page that a web service announces, when its TXT says
// it serves the radio at group:port; "" when not.
std::string page_serving(const dnssd_found &f, const radio_txt &radio) {
    std::string served, path = "/";
    if (!txt_value(f.txt, "radio", &served) ||
        served != radio.group + ":" + std::to_string(radio.port))
        return "";
    txt_value(f.txt, "path", &path);
    if (path.empty() || path[0] != '/') path = "/" + path;
    return "http://" + f.address + ":" + std::to_string(f.port) + path;
}

}  // namespace

std::vector<std::string> find_types() {
    return {RADIO_SERVICE_TYPE, PAGE_SERVICE_TYPE};
}

std::vector<found_radio> radios_of(const std::vector<dnssd_found> &services) {
    std::vector<found_radio> radios;
    for (const auto &f : services) {
        found_radio r;
        std::string unread;
        if (f.type != RADIO_SERVICE_TYPE || !radio_txt_decode(f.txt, &r.txt, &unread)) continue;
        r.name = f.name;
        r.address = f.address;
        r.source_port = f.port;
        for (const auto &page : services)
            if (r.gateway.empty() && page.type == PAGE_SERVICE_TYPE)
                r.gateway = page_serving(page, r.txt);
        radios.push_back(std::move(r));
    }
    return radios;
}

bool find_radios(std::vector<found_radio> *radios, std::string *why) {
    std::vector<dnssd_found> found;
    if (!dnssd_browse(find_types(), FIND_BROWSE_MS, &found, why)) return false;
    *radios = radios_of(found);
    return true;
}

int find_choose(const std::vector<found_radio> &radios, const char *name) {
    if (name == nullptr) return radios.size() == 1 ? 0 : radios.empty() ? -1 : -2;
    for (size_t i = 0; i < radios.size(); i++)
        if (radios[i].name == name) return static_cast<int>(i);
    return -1;
}

std::string find_line(const found_radio &r) {
    return utf8_clean(r.name) + ": group " + r.txt.group + " port " + std::to_string(r.txt.port) +
           ", " + std::to_string(r.txt.channels) +
           (r.txt.channels == 1 ? " channel" : " channels") + ", server " + r.address + " port " +
           std::to_string(r.source_port) +
           (r.gateway.empty() ? "" : ", gateway " + utf8_clean(r.gateway));
}
