// stream.h - what the client makes of one received datagram. No I/O beyond
// the output stream a caller hands in, so tests and fuzzers can drive it.
#pragma once

#include <netinet/in.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include "list_entry.h"  // list_next_entry and list_text: the walk and the list shown

// List phase: the kind of one datagram.
enum list_kind {
    LIST_TOO_SHORT,  // fewer than LIST_MIN_SIZE bytes
    LIST_NOT_LIST,   // long enough, but its chnid is not CHNID_LIST
    LIST_ACCEPTED,   // the channel list
};
list_kind list_classify(const uint8_t *buf, size_t len);

// Data phase: the fate of one datagram; the first rule that applies wins.
enum data_verdict {
    DATA_ADDR_MISMATCH,  // source address is not the server's
    DATA_PORT_MISMATCH,  // source port is not the server's
    DATA_TOO_SHORT,      // fewer than DATA_MIN_SIZE bytes
    DATA_OTHER_CHANNEL,  // chnid differs from the choice: dropped silently
    DATA_ACCEPT,         // payload goes to the player
};
data_verdict data_decide(const sockaddr_in &server, const sockaddr_in &source, const uint8_t *buf,
                         size_t len, long long choice);

// The source address as the diagnostics print it: its four bytes as they
// lie in the record (network order), read as one int in host order.
int addr_as_int(const sockaddr_in &addr);
