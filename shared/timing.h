// timing.h - what a player needs to play each sample at a moment agreed
// with the server: the server's clock, read over a small UDP exchange with
// its send socket, and the timing datagrams, which say when on that clock
// each data datagram's first sample is due.
//
// Times are the server's CLOCK_MONOTONIC in nanoseconds. The data datagrams
// (proto.h) stay exactly what they are; a timing datagram names them by
// their fingerprint (repair.h: the low 16 bits of their CRC-32).
//
// The timing datagram, sent by the server to the group on the timing port
// (by default timing_port() of the radio's port), from its address and
// source port, per channel at least every TIMING_INTERVAL_NS and at every
// file start. Fields big-endian, packed:
//
//   offset   size   field
//   0        1      chnid        the channel, 1 to 255
//   1        1      version      TIMING_VERSION; a receiver ignores others
//   2        1      count        n, the datagrams listed: 1 to TIMING_MAX_LISTED
//   3        1      reserved     0
//   4        4      sample_rate  samples per second of each audio channel,
//                                1 to TIMING_MAX_RATE
//   8        8      due          when the first sample of the first datagram
//                                listed is due on the server's clock
//   16       4      first_crc    the full CRC-32 of the first datagram listed
//   20       4n     listed       for each datagram, in the order sent, the
//                                channel's last ones (the newest last):
//                                  2  fingerprint
//                                  2  samples of each audio channel it holds
//
// The datagram's length is 20 + 4n. The datagrams listed follow one
// another on the channel's timeline: the first sample of the i-th is due
// at due + (samples of those before it) / sample_rate seconds. A datagram
// that comes after a stall, a file that gave no audio or anything else
// that broke the timeline starts a new list (the first datagram of the
// next timing datagram). The lists of consecutive timing datagrams
// overlap (each holds about TIMING_LISTED_NS of the channel), so that one
// lost costs nothing. Fingerprints can collide: a receiver matches the
// datagrams it has to the list in order, and the first by its whole CRC.
//
// The time exchange, on the server's source port, unicast: a player sends
// a request to the server's address and source port; the server answers
// it to the request's source with the request's magic, version, length
// and nonce, and its clock when the request was read (receive) and when
// the answer went (transmit). The player keeps its own clock of sending
// and of receiving, and takes only answers from the server's address and
// port that carry the nonce of a request it still waits for.
//
//   offset   size   field
//   0        4      magic        TIME_MAGIC
//   4        1      version      TIME_VERSION
//   5        1      kind         TIME_REQUEST or TIME_ANSWER
//   6        2      reserved     0
//   8        8      nonce        the requester's, random; echoed
//   16       8      receive      the answer's: the server's clock when it read
//                                the request; 0 in a request
//   24       8      transmit     the answer's: the server's clock when it sent
//                                the answer; 0 in a request
//
// Both are TIME_SIZE bytes: an answer is never larger than its request.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

constexpr uint8_t TIMING_VERSION = 1;
constexpr size_t TIMING_HEADER_SIZE = 20;
constexpr int TIMING_MAX_LISTED = 64;
constexpr uint32_t TIMING_MAX_RATE = 384'000;  // samples per second, at most
// How often a channel's timing datagram goes at least, and how much of the
// channel each lists (when that many datagrams fit TIMING_MAX_LISTED).
constexpr long long TIMING_INTERVAL_NS = 1'000'000'000;
constexpr long long TIMING_LISTED_NS = 2'500'000'000;

// One data datagram of a timing datagram's list.
struct timing_entry {
    uint16_t fingerprint = 0;
    uint16_t samples = 0;  // of each audio channel
};

struct timing_datagram {
    uint8_t chnid = 0;
    uint32_t sample_rate = 0;
    long long due = 0;  // of the first sample of listed[0]
    uint32_t first_crc = 0;
    std::vector<timing_entry> listed;
};

// The timing port beside the radio's port: the one after the repair port;
// 0 (none) for 65533 to 65535.
int timing_port(int port);

// The datagram of t: false when it has no entry or more than
// TIMING_MAX_LISTED, chnid 0, or a sample rate of 0 or above
// TIMING_MAX_RATE.
bool timing_encode(const timing_datagram &t, std::vector<uint8_t> *out);

// Reads the timing datagram p[0, n); false when it is none of this
// version: chnid 0, a sample rate of 0 or above TIMING_MAX_RATE, count 0
// or above TIMING_MAX_LISTED, or n not 20 + 4 * count.
bool timing_parse(const uint8_t *p, size_t n, timing_datagram *t);

// When the first sample of t.listed[i] is due: due plus the playing time
// of those before it, rounded down to whole nanoseconds; LLONG_MAX when
// that lies past the clock's end (only a forged datagram's can).
long long timing_due_of(const timing_datagram &t, size_t i);

constexpr uint8_t TIME_MAGIC[4] = {'r', 't', 'i', 'm'};
constexpr uint8_t TIME_VERSION = 1;
constexpr uint8_t TIME_REQUEST = 1;
constexpr uint8_t TIME_ANSWER = 2;
constexpr size_t TIME_SIZE = 32;

struct time_message {
    uint8_t kind = TIME_REQUEST;
    uint64_t nonce = 0;
    long long receive = 0;   // an answer's: the server's clock on reading the request
    long long transmit = 0;  // and on sending the answer
};

// The TIME_SIZE bytes of m into out.
void time_encode(const time_message &m, uint8_t out[TIME_SIZE]);

// Reads p[0, n); false when it is no time message of this version: another
// magic, version or kind, or n not TIME_SIZE.
bool time_parse(const uint8_t *p, size_t n, time_message *m);
