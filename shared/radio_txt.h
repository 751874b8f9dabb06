// radio_txt.h - what a radio says of itself on the LAN: its DNS-SD service
// type and the TXT record of its announcement, which tells a receiver all
// it needs to join without options. The SRV record's port is the server's
// source port, where its time service answers (timing.h).
//
// The TXT record's strings, "key=value", in this order:
//   txtvers=1     the format and its version; always the first
//   group=ADDR    the IPv4 multicast group
//   port=N        the radio's UDP port (data and channel list)
//   np=N          the now-playing port (now_playing.h), 0: none
//   repair=N      the repair port (repair.h), 0: none
//   timing=N      the timing port (timing.h), 0: none
//   channels=N    how many channels are on the air, 0 to 255
// A reader takes the keys it knows, in any order and in any case, and
// passes over others, so that later versions can add keys; a txtvers
// other than 1 is a format it cannot read.
#pragma once

#include <stddef.h>

#include <string>
#include <vector>

// The service type the server announces and the player browses for.
inline constexpr char RADIO_SERVICE_TYPE[] = "_mcast-radio._udp";
inline constexpr int RADIO_TXT_VERSION = 1;

// Most bytes of a DNS-SD instance name (a DNS label).
constexpr size_t SERVICE_NAME_MAX = 63;

struct radio_txt {
    std::string group;
    int port = 0;
    int now_playing_port = 0;  // 0: none
    int repair_port = 0;       // 0: none
    int timing_port = 0;       // 0: none
    int channels = 0;
};

// A radio announced on the LAN (radio_find.h).
struct found_radio {
    std::string name;     // its service name
    std::string address;  // its server's IPv4 address
    int source_port = 0;  // its server's source port (the SRV record's)
    radio_txt txt;
    std::string gateway;  // "http://ADDR:PORT/PATH" of a gateway's page that serves it, or ""
};

// The TXT record's strings for r.
std::vector<std::string> radio_txt_encode(const radio_txt &r);

// Reads the TXT record's strings into *r. False with *why set when a key
// this version needs is missing or out of range, or the version is not 1.
bool radio_txt_decode(const std::vector<std::string> &strings, radio_txt *r, std::string *why);

// "Radio on HOSTNAME" as the host calls itself ("Radio" when it has no
// name), cleaned as a title: the name a server or gateway goes by unless
// told (announced cut by service_name_cut).
std::string default_station_name();

// text cut whole (at a UTF-8 character's boundary) at SERVICE_NAME_MAX bytes.
std::string service_name_cut(const std::string &text);
