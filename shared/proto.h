// proto.h - the stream messages: the channel list and channel data, one datagram each.
//
// Byte 0 of every message is the channel id; 0 marks the channel list, 1 to
// 255 a data message of that channel. Multi-byte fields are big-endian and
// the records are packed. What a channel plays goes in a datagram of its
// own to another port: now_playing.h.
#pragma once

#include <stddef.h>
#include <stdint.h>

// The channel id of the channel list.
constexpr uint8_t CHNID_LIST = 0;

// Size of each receive buffer and the most one receive asks for. One more
// than the largest UDP payload over IPv4, so no message is ever cut short.
constexpr size_t MSG_MAX_SIZE = 65508;

// The largest message one datagram can carry (the largest UDP payload over
// IPv4), and so the largest payload of a data message.
constexpr size_t MSG_MAX_DATAGRAM = MSG_MAX_SIZE - 1;
constexpr size_t MSG_MAX_PAYLOAD = MSG_MAX_DATAGRAM - 1;

// Smallest channel list: the id byte, one entry header and one byte of description.
constexpr size_t LIST_MIN_SIZE = 5;
// Smallest data message: the id byte and one byte of payload.
constexpr size_t DATA_MIN_SIZE = 2;

// One entry of the channel list. len is the size of the whole entry, this
// header included; desc is len - 3 bytes of text ending in a NUL byte.
struct __attribute__((packed)) channel_list_entry {
    uint8_t chnid;
    uint16_t len;  // network byte order
    uint8_t desc[];
};

// The channel list: CHNID_LIST, then channel_list_entry records up to the
// end of the datagram.
struct __attribute__((packed)) channel_list_message {
    uint8_t chnid;
    uint8_t entries[];
};

// A slice of one channel's byte stream.
struct __attribute__((packed)) channel_data_message {
    uint8_t chnid;
    uint8_t payload[];
};

static_assert(sizeof(channel_list_entry) == 3, "entry header is 3 bytes");
static_assert(offsetof(channel_list_entry, len) == 1, "len follows chnid");
static_assert(offsetof(channel_list_entry, desc) == 3, "desc follows the header");
static_assert(sizeof(channel_list_message) == 1, "list header is the id byte");
static_assert(sizeof(channel_data_message) == 1, "data header is the id byte");
static_assert(MSG_MAX_SIZE == 65508, "receive buffer size");
static_assert(MSG_MAX_DATAGRAM == 65507, "largest UDP payload over IPv4");
