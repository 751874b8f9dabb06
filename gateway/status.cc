// status.cc - /status.json and /metrics.
#include "status.h"

#include <arpa/inet.h>
#include <stdio.h>
#include <stdlib.h>

#include "mono_clock.h"
#include "utf8.h"

namespace {

std::string server_text(const table &t) {
    if (!t.has_server) return "";
    char addr[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &t.server.sin_addr, addr, sizeof addr);
    return std::string(addr) + ":" + std::to_string(ntohs(t.server.sin_port));
}

int listeners_of(const table &t) {
    int n = 0;
    for (const table_channel &c : t.ch) n += c.listeners;
    return n;
}

// A gain from the datagram ("+3.0") as a JSON number; null when it is none.
std::string gain_number(const std::string &gain) {
    char *end;
    double db = strtod(gain.c_str(), &end);
    if (end == gain.c_str() || *end != '\0' || !(db > -100 && db < 100)) return "null";
    char text[16];
    snprintf(text, sizeof text, "%.1f", db);
    return text;
}

std::string channel_json(const table &t, int id, long long now, bool repair) {
    const table_channel &c = t.ch[id];
    std::string rebuilt =
        repair ? ",\"rebuilt\":" + std::to_string(c.rebuilt) + ",\"lost\":" + std::to_string(c.lost)
               : std::string();
    return "{\"number\":" + std::to_string(id) + ",\"description\":" + json_string(c.desc) +
           ",\"listed\":" + (c.listed ? "true" : "false") +
           ",\"on_air\":" + (table_on_air(t, id, now) ? "true" : "false") +
           ",\"now_playing\":" + json_string(c.has_np ? table_title(t, id) : "") +
           ",\"title\":" + json_string(c.has_np ? c.np.title : "") +
           ",\"artist\":" + json_string(c.has_np ? c.np.artist : "") +
           ",\"codec\":" + json_string(c.has_np ? c.np.codec : "") +
           ",\"transcoded\":" + (c.has_np && c.np.transcoded ? "true" : "false") +
           ",\"gain_db\":" + (c.has_np && !c.np.gain.empty() ? gain_number(c.np.gain) : "null") +
           ",\"bytes\":" + std::to_string(c.bytes) +
           ",\"datagrams\":" + std::to_string(c.datagrams) + rebuilt +
           ",\"listeners\":" + std::to_string(c.listeners) + ",\"hls\":\"channels/" +
           std::to_string(id) + "/live.m3u8\"}";
}

// A radio on the LAN. Its name and page's address are its announcement's
// and may be any bytes: made valid text.
std::string radio_json(const found_radio &r) {
    return "{\"name\":" + json_string(utf8_clean(r.name)) +
           ",\"group\":" + json_string(r.txt.group) + ",\"port\":" + std::to_string(r.txt.port) +
           ",\"channels\":" + std::to_string(r.txt.channels) +
           ",\"page\":" + (r.gateway.empty() ? "null" : json_string(utf8_clean(r.gateway))) + "}";
}

// A label value of the text format: backslash, quote and newline escaped.
std::string label(const std::string &text) {
    std::string out;
    for (char c : text) {
        if (c == '\\' || c == '"') out += '\\';
        if (c == '\n') {
            out += "\\n";
            continue;
        }
        out += c;
    }
    return out;
}

void metric_head(std::string *out, const char *name, const char *type, const char *help) {
    *out += std::string("# HELP stream_gateway_") + name + " " + help + "\n# TYPE stream_gateway_" +
            name + " " + type + "\n";
}

// One line of a channel's metric.
void channel_line(std::string *out, const char *name, int id, const std::string &value) {
    *out += std::string("stream_gateway_") + name + "{channel=\"" + std::to_string(id) + "\"} " +
            value + "\n";
}

// The families of every channel; the last two only with --repair.
void channel_metrics(std::string *out, const table &t, long long now, bool repair) {
    struct family {
        const char *name, *type, *help;
    };
    const family families[] = {
        {"channel_received_bytes_total", "counter", "Payload bytes received."},
        {"channel_received_datagrams_total", "counter", "Data datagrams received."},
        {"channel_on_air", "gauge", "1 while data comes, 0 after 5 s without."},
        {"channel_listeners", "gauge", "Listeners of the channel's stream."},
        {"channel_rebuilt_datagrams_total", "counter", "Data datagrams rebuilt from repair."},
        {"channel_lost_datagrams_total", "counter",
         "Data datagrams lost and not rebuilt, of the blocks that repair announced."},
    };
    for (int f = 0; f < (repair ? 6 : 4); f++) {
        metric_head(out, families[f].name, families[f].type, families[f].help);
        for (int id = 1; id < 256; id++) {
            const table_channel &c = t.ch[id];
            if (!c.heard) continue;
            uint64_t v[] = {c.bytes,
                            c.datagrams,
                            table_on_air(t, id, now) ? 1u : 0u,
                            static_cast<uint64_t>(c.listeners),
                            c.rebuilt,
                            c.lost};
            channel_line(out, families[f].name, id, std::to_string(v[f]));
        }
    }
    metric_head(out, "channel_info", "gauge", "The channel's description, as a label.");
    for (int id = 1; id < 256; id++)
        if (t.ch[id].heard)
            *out += "stream_gateway_channel_info{channel=\"" + std::to_string(id) +
                    "\",description=\"" + label(t.ch[id].desc) + "\"} 1\n";
}

}  // namespace

std::string json_string(const std::string &text) {
    std::string out = "\"";
    for (char c : text) {
        unsigned char u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (u < 0x20 || u == 0x7F) {
            char esc[8];
            snprintf(esc, sizeof esc, "\\u%04x", u);
            out += esc;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string status_json(const table &t, const status_counters &k, long long now,
                        const std::string &name, const std::vector<found_radio> &radios) {
    std::string server = server_text(t);
    std::string out = "{\"name\":" + json_string(name) +
                      ",\"server\":" + (server.empty() ? "null" : json_string(server)) +
                      ",\"uptime_s\":" + std::to_string(k.uptime_ns / NS_PER_S) +
                      ",\"listeners\":" + std::to_string(listeners_of(t)) +
                      ",\"listeners_max\":" + std::to_string(k.listeners_max) +
                      ",\"refused_each_address\":" + std::to_string(k.refused_each_address) +
                      ",\"channels\":[";
    bool first = true;
    for (int id = 1; id < 256; id++) {
        if (!t.ch[id].heard) continue;
        if (!first) out += ",";
        first = false;
        out += channel_json(t, id, now, k.repair);
    }
    out += "],\"radios\":[";
    for (size_t i = 0; i < radios.size(); i++) out += (i ? "," : "") + radio_json(radios[i]);
    return out + "]}\n";
}

std::string status_metrics(const table &t, const status_counters &k, long long now) {
    std::string out;
    char up[32];
    snprintf(up, sizeof up, "%.3f", static_cast<double>(k.uptime_ns) / 1e9);
    metric_head(&out, "uptime_seconds", "gauge", "Seconds since the gateway started.");
    out += std::string("stream_gateway_uptime_seconds ") + up + "\n";
    metric_head(&out, "listeners", "gauge", "Listeners of all channels.");
    out += "stream_gateway_listeners " + std::to_string(listeners_of(t)) + "\n";
    metric_head(&out, "listeners_max", "gauge", "The most listeners served at once (--listeners).");
    out += "stream_gateway_listeners_max " + std::to_string(k.listeners_max) + "\n";
    metric_head(&out, "dropped_lagging_total", "counter",
                "Listeners disconnected for lagging more than --lag.");
    out += "stream_gateway_dropped_lagging_total " + std::to_string(k.dropped_lagging) + "\n";
    metric_head(&out, "refused_full_total", "counter", "Requests refused at --listeners.");
    out += "stream_gateway_refused_full_total " + std::to_string(k.refused_full) + "\n";
    metric_head(&out, "refused_each_address_total", "counter",
                "Connections closed at once, their address's --each-address being open.");
    out += "stream_gateway_refused_each_address_total " + std::to_string(k.refused_each_address) +
           "\n";
    metric_head(&out, "hls_playlist_requests_total", "counter", "Requests for HLS playlists.");
    out += "stream_gateway_hls_playlist_requests_total " + std::to_string(k.hls_lists) + "\n";
    metric_head(&out, "hls_segment_requests_total", "counter", "Requests for HLS segments.");
    out += "stream_gateway_hls_segment_requests_total " + std::to_string(k.hls_segments) + "\n";
    metric_head(&out, "server_known", "gauge", "1 once a server's channel list has come.");
    out += std::string("stream_gateway_server_known ") + (t.has_server ? "1" : "0") + "\n";
    channel_metrics(&out, t, now, k.repair);
    return out;
}
