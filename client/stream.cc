// stream.cc - classifying datagrams, and walking and showing the channel list.
#include "stream.h"

#include <arpa/inet.h>
#include <string.h>

#include "proto.h"
#include "visible.h"

list_kind list_classify(const uint8_t *buf, size_t len) {
    if (len < LIST_MIN_SIZE) return LIST_TOO_SHORT;
    if (buf[0] != CHNID_LIST) return LIST_NOT_LIST;
    return LIST_ACCEPTED;
}

int list_text(const uint8_t *buf, size_t len, bool visible, std::string *out) {
    size_t pos = offsetof(channel_list_message, entries);
    list_entry_view entry;
    int entries = 0;
    while (list_next_entry(buf, len, &pos, &entry) == 1) {
        *out += "channel:" + std::to_string(entry.chnid);
        if (visible)
            visible_append(reinterpret_cast<const uint8_t *>(entry.desc), strlen(entry.desc), out);
        else
            *out += entry.desc;
        entries++;
    }
    return entries;
}

data_verdict data_decide(const sockaddr_in &server, const sockaddr_in &source, const uint8_t *buf,
                         size_t len, long long choice) {
    if (source.sin_addr.s_addr != server.sin_addr.s_addr) return DATA_ADDR_MISMATCH;
    if (source.sin_port != server.sin_port) return DATA_PORT_MISMATCH;
    if (len < DATA_MIN_SIZE) return DATA_TOO_SHORT;
    if (static_cast<long long>(buf[0]) != choice) return DATA_OTHER_CHANNEL;
    return DATA_ACCEPT;
}

int addr_as_int(const sockaddr_in &addr) {
    int32_t v;
    memcpy(&v, &addr.sin_addr.s_addr, sizeof v);
    return v;
}
