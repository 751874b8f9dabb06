// proto_encode.h - builds the stream messages of proto.h. Every sender of
// this project (the test sender, the benchmark's sender, the test helpers
// and the server) encodes through these, so the layout lives in one place.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "proto.h"

// A channel list with no entries yet: the CHNID_LIST byte.
inline std::vector<uint8_t> encode_list_start() {
    return {CHNID_LIST};
}

// Size of the entry that desc makes: header, text and its NUL byte.
inline size_t encode_entry_size(const std::string &desc) {
    return sizeof(channel_list_entry) + desc.size() + 1;
}

// Appends one entry to a channel list. desc is the text without its NUL,
// which is added. Returns false, and appends nothing, when the entry's
// size does not fit its 16-bit len field.
inline bool encode_list_entry(std::vector<uint8_t> *msg, uint8_t chnid, const std::string &desc) {
    size_t len = encode_entry_size(desc);
    if (len > 0xFFFF) return false;
    msg->push_back(chnid);
    msg->push_back(static_cast<uint8_t>(len >> 8));
    msg->push_back(static_cast<uint8_t>(len & 0xFF));
    msg->insert(msg->end(), desc.begin(), desc.end());
    msg->push_back(0);
    return true;
}

// A data message of channel chnid carrying payload[0, n).
inline std::vector<uint8_t> encode_data(uint8_t chnid, const void *payload, size_t n) {
    std::vector<uint8_t> msg(sizeof(channel_data_message) + n);
    msg[0] = chnid;
    if (n > 0) __builtin_memcpy(msg.data() + 1, payload, n);
    return msg;
}
