// route.cc - request routing.
#include "route.h"

#include <string.h>

namespace {

constexpr char CHANNELS[] = "/channels/";
constexpr char M3U[] = ".m3u";
constexpr char HLS_LIST[] = "live.m3u8";
constexpr char MP3[] = ".mp3";

// The channel that text[0, len) names: 1 to 255 in decimal, with no sign,
// leading zero or anything else; else 0.
int channel_of(const char *text, size_t len) {
    if (len == 0 || len > 3 || text[0] < '1' || text[0] > '9') return 0;
    int n = 0;
    for (size_t i = 0; i < len; i++) {
        if (text[i] < '0' || text[i] > '9') return 0;
        n = n * 10 + (text[i] - '0');
    }
    return n <= 255 ? n : 0;
}

// A path under /channels/N/: the playlist or a segment's name, which
// holds no '/'.
route channel_file(int id, const char *file, bool query) {
    size_t len = strlen(file), ext = sizeof MP3 - 1;
    if (id == 0 || strchr(file, '/') != nullptr) return {ROUTE_NOT_FOUND, 0};
    if (strcmp(file, HLS_LIST) == 0) return {ROUTE_HLS, id, nullptr, query};
    if (!query && len > ext && strcmp(file + len - ext, MP3) == 0) return {ROUTE_SEGMENT, id, file};
    return {ROUTE_NOT_FOUND, 0};
}

}  // namespace

route route_request(bool get_or_head, const char *path, bool query) {
    if (!get_or_head) return {ROUTE_BAD_METHOD, 0};
    if (strcmp(path, "/") == 0) return {ROUTE_PAGE, 0};
    if (strcmp(path, "/status.json") == 0) return {ROUTE_STATUS, 0};
    if (strcmp(path, "/metrics") == 0) return {ROUTE_METRICS, 0};
    if (strcmp(path, "/listen.m3u") == 0) return {ROUTE_M3U, 0};
    if (strcmp(path, "/listen.pls") == 0) return {ROUTE_PLS, 0};
    if (strncmp(path, CHANNELS, sizeof CHANNELS - 1) == 0) {
        const char *name = path + sizeof CHANNELS - 1;
        const char *slash = strchr(name, '/');
        if (slash != nullptr)
            return channel_file(channel_of(name, static_cast<size_t>(slash - name)), slash + 1,
                                query);
        size_t len = strlen(name), ext = sizeof M3U - 1;
        bool m3u = len > ext && strcmp(name + len - ext, M3U) == 0;
        int id = channel_of(name, m3u ? len - ext : len);
        if (id != 0) return {m3u ? ROUTE_M3U : ROUTE_CHANNEL, id};
    }
    return {ROUTE_NOT_FOUND, 0};
}
