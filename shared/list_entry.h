// list_entry.h - walking the entries of a channel list datagram, for every
// receiver of the radio (the client and the player show them, the gateway
// keeps them), and the text that shows them.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>

// One entry of a channel list; desc points into the datagram and ends in NUL.
struct list_entry_view {
    int chnid;
    const char *desc;
};

// Reads the entry at *pos of the datagram buf[0, len). Returns 1 with the
// entry in *out and *pos moved past it; 0 when *pos is at the end; -1 when
// the entry does not fit: header or len past the end, len below 3, or no
// NUL byte among its description's len - 3 bytes. Never reads past len.
int list_next_entry(const uint8_t *buf, size_t len, size_t *pos, list_entry_view *out);

// Appends to *out the text a listener is shown for the list message buf[0,
// len): "channel:%d%s" for each entry, in order, stopping at the first entry
// that does not fit. With visible (the text goes to a terminal) each
// description's control characters are made visible (visible.h); else it
// is shown byte for byte. Returns the number of entries.
int list_text(const uint8_t *buf, size_t len, bool visible, std::string *out);
