// route.cc - request routing.
#include "route.h"

#include <string.h>

namespace {

constexpr char CHANNELS[] = "/channels/";

// The channel a path's last part names: 1 to 255 in decimal, with no sign,
// leading zero or anything after; else 0.
int channel_of(const char *text) {
    if (text[0] < '1' || text[0] > '9') return 0;
    int n = 0;
    for (const char *p = text; *p; p++) {
        if (*p < '0' || *p > '9' || p - text >= 3) return 0;
        n = n * 10 + (*p - '0');
    }
    return n <= 255 ? n : 0;
}

}  // namespace

route route_request(bool get_or_head, const char *path) {
    if (!get_or_head) return {ROUTE_BAD_METHOD, 0};
    if (strcmp(path, "/") == 0) return {ROUTE_PAGE, 0};
    if (strcmp(path, "/status.json") == 0) return {ROUTE_STATUS, 0};
    if (strcmp(path, "/metrics") == 0) return {ROUTE_METRICS, 0};
    if (strncmp(path, CHANNELS, sizeof CHANNELS - 1) == 0) {
        int id = channel_of(path + sizeof CHANNELS - 1);
        if (id != 0) return {ROUTE_CHANNEL, id};
    }
    return {ROUTE_NOT_FOUND, 0};
}
