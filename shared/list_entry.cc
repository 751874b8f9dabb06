// list_entry.cc - the channel list walk, and the list as shown.
#include "list_entry.h"

#include <arpa/inet.h>
#include <string.h>

#include "proto.h"
#include "visible.h"

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
            visible_append(reinterpret_cast<const uint8_t *>(entry.desc), strlen(entry.desc), out);
        else
            *out += entry.desc;
        entries++;
    }
    return entries;
}
