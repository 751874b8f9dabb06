// table.cc - the gateway's view of the radio: server, channels, counters.
#include "table.h"

#include "join.h"
#include "list_entry.h"
#include "proto.h"

namespace {

// A new server: what the old one said plays is no longer known.
void take_server(table *t, const sockaddr_in &from) {
    t->has_server = true;
    t->server = from;
    for (table_channel &c : t->ch) c.has_np = false;
}

void take_list(table *t, const uint8_t *buf, size_t len) {
    bool listed[256] = {};
    size_t pos = offsetof(channel_list_message, entries);
    list_entry_view e;
    while (list_next_entry(buf, len, &pos, &e) == 1) {
        if (e.chnid == CHNID_LIST) continue;
        table_channel &c = t->ch[e.chnid];
        listed[e.chnid] = true;
        c.heard = true;
        c.desc = now_playing_clean(e.desc);
        // A description read from a file usually ends in a line break.
        while (!c.desc.empty() && c.desc.back() == ' ') c.desc.pop_back();
    }
    for (int id = 1; id < 256; id++) t->ch[id].listed = listed[id];
}

}  // namespace

table_kind table_take(table *t, const sockaddr_in &from, const uint8_t *buf, size_t len,
                      long long now) {
    bool is_list = len >= LIST_MIN_SIZE && buf[0] == CHNID_LIST;
    if (!table_from_server(*t, from)) {
        bool server_gone = !t->has_server || now - t->server_heard_ns >= TABLE_SILENCE_NS;
        if (!is_list || !server_gone) return TABLE_IGNORED;
        take_server(t, from);
    }
    t->server_heard_ns = now;
    if (is_list) {
        take_list(t, buf, len);
        return TABLE_LIST;
    }
    if (len < DATA_MIN_SIZE || buf[0] == CHNID_LIST) return TABLE_IGNORED;
    table_channel &c = t->ch[buf[0]];
    c.heard = true;
    c.last_data_ns = now;
    c.bytes += len - 1;
    c.datagrams++;
    return TABLE_DATA;
}

bool table_from_server(const table &t, const sockaddr_in &from) {
    return t.has_server && same_sender(from, t.server);
}

bool table_take_now_playing(table *t, const sockaddr_in &from, const uint8_t *buf, size_t len) {
    if (!table_from_server(*t, from)) return false;
    now_playing np;
    if (!now_playing_parse(buf, len, &np)) return false;
    table_channel &c = t->ch[np.chnid];
    c.np = np;
    c.has_np = true;
    return true;
}

bool table_on_air(const table &t, int chnid, long long now) {
    return chnid >= 1 && chnid <= 255 && table_on_air_since(t.ch[chnid].last_data_ns, now);
}

bool table_on_air_since(long long last_ns, long long now) {
    return last_ns >= 0 && now - last_ns < TABLE_SILENCE_NS;
}

int table_channel_status(const table &t, int chnid, long long now) {
    if (chnid < 1 || chnid > 255 || !t.ch[chnid].heard) return 404;
    return table_on_air(t, chnid, now) ? 200 : 503;
}

std::string table_title(const table &t, int chnid) {
    return table_channel_title(t.ch[chnid]);
}

std::string table_channel_title(const table_channel &c) {
    if (!c.has_np) return c.desc;
    std::string text = now_playing_text(c.np);
    return text.empty() ? c.desc : text;
}
