// page.h - the gateway's one page: the channel table, kept current from
// status.json, with one player that any row's button tunes, and each
// channel's address and playlist for other players; below, the other
// radios seen on the LAN, linked to their gateways' pages. Self-contained
// (styles, script and icon inline), so it works on a LAN without the
// internet; its own links are relative, so it works behind a reverse
// proxy under any path.
#pragma once

#include <stddef.h>

extern const char PAGE_HTML[];
extern const size_t PAGE_HTML_SIZE;  // without the final NUL
