// radio_find.cc - the radios found on the LAN.
#include "radio_find.h"

#include "dnssd.h"
#include "utf8.h"

bool find_radios(std::vector<found_radio> *radios, std::string *why) {
    std::vector<dnssd_found> found;
    if (!dnssd_browse(RADIO_SERVICE_TYPE, FIND_BROWSE_MS, &found, why)) return false;
    radios->clear();
    for (const auto &f : found) {
        found_radio r;
        std::string unread;
        if (!radio_txt_decode(f.txt, &r.txt, &unread)) continue;
        r.name = f.name;
        r.address = f.address;
        r.source_port = f.port;
        radios->push_back(std::move(r));
    }
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
           std::to_string(r.source_port);
}
