// stream.cc - classifying datagrams, and walking and showing the channel list.
#include "stream.h"

#include <arpa/inet.h>
#include <string.h>

#include "proto.h"
#include "visible.h"

namespace {

// desc, with its control characters made visible.
void append_visible(const char *desc, std::string *out) {
    const auto *p = reinterpret_cast<const uint8_t *>(desc);
    size_t len = strlen(desc);
    while (len > 0) {
        char shown[VISIBLE_UNIT_MAX];
        size_t used;
        out->append(shown, visible_unit(p, len, shown, &used));
        p += used;
        len -= used;
    }
}

}  // namespace

list_kind list_classify(const uint8_t *buf, size_t len) {
    if (len < LIST_MIN_SIZE) return LIST_TOO_SHORT;
    if (buf[0] != CHNID_LIST) return LIST_NOT_LIST;
    return LIST_ACCEPTED;
}

int list_next_entry(const uint8_t *buf, size_t len, size_t *pos, list_entry_view *out) {
    size_t at = *pos;
    if (at >= len) return 0;
    if (len - at < sizeof(channel_list_entry)) return -1;
    channel_list_entry head;
    memcpy(&head, buf + at, sizeof head);
    size_t entry_len = ntohs(head.len);
    if (entry_len < sizeof(channel_list_entry) || entry_len > len - at) return -1;
    const uint8_t *desc = buf + at + offsetof(channel_list_entry, desc);
    if (!memchr(desc, '\0', entry_len - sizeof(channel_list_entry))) return -1;
    out->chnid = head.chnid;
    out->desc = reinterpret_cast<const char *>(desc);
    *pos = at + entry_len;
    return 1;
}

int list_text(const uint8_t *buf, size_t len, bool visible, std::string *out) {
    size_t pos = offsetof(channel_list_message, entries);
    list_entry_view entry;
    int entries = 0;
    while (list_next_entry(buf, len, &pos, &entry) == 1) {
        *out += "channel:" + std::to_string(entry.chnid);
        if (visible)
            append_visible(entry.desc, out);
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
