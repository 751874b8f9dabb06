// repair.h - the repair datagrams: what a receiver needs to rebuild data
// datagrams (proto.h) that the network lost, sent beside them on a port of
// their own (by default repair_port() of the radio's port, in
// now_playing.h with the radio's other port).
//
// The sender takes each channel's data datagrams, as they go out, in blocks
// of up to k (a block also closes a set time after its first datagram, so a
// quiet channel is not held up; a block never mixes channels). For each
// closed block it sends r repair datagrams, spread over a short time so that
// one outage does not take them all. A receiver that holds any k of a
// block's k + r datagrams rebuilds the others exactly (a Reed-Solomon code
// over GF(2^8) with a Cauchy matrix, which makes every such choice
// solvable). The data datagrams stay exactly what they are without repair;
// since they carry no number, every repair datagram lists the block's
// datagrams by a fingerprint, so that one repair datagram of a block is
// enough to tell which of its data datagrams a receiver holds and which it
// lost.
//
// A repair datagram, fields big-endian, packed:
//
//   offset   size        field
//   0        1           chnid       the block's channel, 1 to 255
//   1        1           version     REPAIR_VERSION; a receiver ignores others
//   2        4           block       the block's number: one more than the
//                                    channel's block before, from a number the
//                                    sender picks at random when it starts
//   6        1           k           data datagrams in the block, 1 to REPAIR_MAX_K
//   7        1           r           repair datagrams of the block, 1 to REPAIR_MAX_R
//   8        1           index       this one's place among them, 0 to r - 1
//   9        1           reserved    0
//   10       2           symbol_len  bytes of every symbol of the block: 2 and
//                                    the length of its longest data datagram
//   12       4           block_crc   CRC-32 of the block's k data datagrams,
//                                    one after the other in the order sent
//   16       2k          table       the fingerprint of each data datagram of
//                                    the block, in the order sent
//   16 + 2k  symbol_len  symbol      repair symbol number index
//
// The datagram ends with its symbol: its length is 16 + 2k + symbol_len.
// Data datagram j of the block (0 to k - 1), whole, chnid included, makes
// source symbol j: its length in 2 bytes, its bytes, then zero bytes up to
// symbol_len. Repair symbol i is, byte by byte, the sum over j of
// c(i, j) * (source symbol j) in GF(2^8) with the polynomial
// x^8 + x^4 + x^3 + x^2 + 1 (0x11D), where c(i, j) = 1 / ((k + i) XOR j).
// A fingerprint is the low 16 bits of the datagram's CRC-32; CRC-32 is the
// one of gzip and zlib (polynomial 0xEDB88320 reflected, all ones in and
// out). A rebuilt datagram counts only when its length fits the symbol,
// its padding is zero, its chnid is the block's, its fingerprint is the
// table's and the whole block then has the CRC-32 of block_crc.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "proto.h"

constexpr uint8_t REPAIR_VERSION = 1;
constexpr size_t REPAIR_HEADER_SIZE = 16;
// The most data datagrams in a block and repair datagrams for it that a
// sender makes and a receiver takes: a receiver's memory for one block
// stays small, and k + r rows fit GF(2^8).
constexpr int REPAIR_MAX_K = 64;
constexpr int REPAIR_MAX_R = 32;
// The longest data datagram that a block can hold: its repair datagram
// (16 bytes, a table of one, the 2-byte length and the datagram) must fit
// one UDP datagram. A longer one goes without repair.
constexpr size_t REPAIR_MAX_SOURCE = MSG_MAX_DATAGRAM - REPAIR_HEADER_SIZE - 2 - 2;

// How a sender cuts a channel into blocks and spreads their repair.
struct repair_conf {
    int k;                // most data datagrams in a block, 1 to REPAIR_MAX_K
    int r;                // repair datagrams for a block of k, 1 to REPAIR_MAX_R; a block
                          // closed by time with n datagrams gets ceil(r * n / k)
    long long block_ns;   // a block closes this long after its first datagram was sent
    long long spread_ns;  // a closed block's repair datagrams go out evenly over this time
};

// The server's choice, made with bench/repair_sim (bench/README.md): for a
// 128 kbit/s channel in payloads of up to 1024 bytes (two frames, a
// datagram every 52 ms) a block holds 34 datagrams, 1.72 s, and its 10
// repair datagrams add 32 % to the bytes sent. A block survives any 10
// losses among its 44 datagrams: a 250 ms outage (5 datagrams of the
// channel) with random loss beside it, since an outage at the block's end
// takes at most 6 of its repair datagrams, spread over 450 ms.
constexpr repair_conf REPAIR_DEFAULTS = {34, 10, 1'800'000'000, 450'000'000};

// How long a receiver holds a data datagram at most, waiting for its block
// to be complete: at the defaults a block's first datagram waits its
// block's time and the spread of its repair (2.2 s at most), and a margin
// for the network.
constexpr long long REPAIR_HOLD_NS = 2'400'000'000;

// A repair datagram read in place: table and symbol point into it.
struct repair_header {
    uint8_t chnid;
    uint32_t block;
    int k;
    int r;
    int index;
    size_t symbol_len;
    uint32_t block_crc;
    const uint8_t *table;   // k fingerprints, 2 bytes each, big-endian
    const uint8_t *symbol;  // symbol_len bytes
};

// Reads the repair datagram p[0, n). False when it is none of this version:
// chnid 0, k, r or index out of range, a symbol too short to hold a data
// datagram, or n not the size that k and symbol_len give.
bool repair_parse(const uint8_t *p, size_t n, repair_header *h);

// CRC-32 of p[0, n) continued from crc (0 to start).
uint32_t repair_crc(uint32_t crc, const uint8_t *p, size_t n);

// The fingerprint of the data datagram p[0, n).
uint16_t repair_fingerprint(const uint8_t *p, size_t n);

// c(index, j) of a block of k: what source symbol j is multiplied by in
// repair symbol index.
uint8_t repair_coefficient(int k, int index, int j);
