// bench_util.h - small pure helpers shared by the benchmark programs: stream
// message layout, pacing arithmetic and the token-bucket bound check.
#pragma once

#include <stdint.h>

#include <functional>
#include <string>
#include <variant>
#include <vector>

// One entry of a channel list: the id and its description (no NUL; it is added).
struct list_entry {
    int chnid;
    std::string desc;
};

// A channel list datagram: byte 0 = 0, then per entry {u8 chnid, u16
// big-endian len including the 3-byte header, desc, NUL}.
std::vector<uint8_t> make_channel_list(const std::vector<list_entry> &entries);

// A data datagram of channel chnid with payload_size bytes of payload (a
// repeating pattern, so a relay that mangles it is not helped by compression).
std::vector<uint8_t> make_data_message(int chnid, int payload_size);

// Number of datagrams due by elapsed_s seconds after the start of a paced
// send at rate datagrams/s, in groups of burst sent back to back: the first
// group is due at once, a group every burst / rate seconds, and never more
// than count.
long due_by(double elapsed_s, double rate, long count, int burst = 1);

// One read from a pipe: when it returned (seconds after the start) and how
// many bytes it brought.
struct chunk {
    double t;
    long bytes;
};

// The largest excess of what arrived over a token bucket's bound: over every
// window between two chunk arrivals t_i <= t_j, the bytes of chunks i..j
// minus (burst + rate * (t_j - t_i)). A flow the bucket allows never scores
// above 0. With no chunks the result is -burst.
double max_bound_excess(const std::vector<chunk> &chunks, double rate, double burst);

// Median of the values (the mean of the middle two for an even count); 0 for none.
double median(std::vector<double> values);

// The value at p percent of the sorted values (p 100: the largest), taken
// as the one at index p/100 * count; -1 for none.
double percentile(std::vector<double> values, double p);

// Geometric ladder of rates from first up to at most last, each step factor
// times the one before, rounded to a multiple of 500.
std::vector<double> rate_ladder(double first, double last, double factor);

// The rate halfway (geometrically) between lo and hi, rounded to 100.
double bisect_rate(double lo, double hi);

// What the head of an HTTP response says: its status (0 when the status
// line is not "HTTP/x.y NNN ..." or "ICY NNN ...") and whether the body
// comes in the chunked transfer coding.
struct http_head {
    int status;
    bool chunked;
};

// The length of the response head at the start of buf, through its blank
// line; 0 while the blank line has not arrived.
size_t http_head_length(const std::string &buf);

// Reads a complete response head (as measured by http_head_length).
http_head http_parse_head(const std::string &head);

// The chunked transfer coding, decoded as it arrives in pieces of any size.
struct dechunker {
    int state = 0;     // in a size line, in data, at the CRLF after data, past the last chunk
    size_t left = 0;   // data bytes left in the current chunk
    std::string line;  // the line so far
};

// Appends the data that in[0..n) carries to *out. False when the coding is
// broken: a size line that is no hex number (or over 1 KiB), data not
// followed by CRLF. Past the last chunk (size 0) the rest, the trailer, is
// ignored.
bool dechunk(dechunker *d, const char *in, size_t n, std::string *out);

// True once the last chunk has come: the body has ended.
bool dechunk_ended(const dechunker &d);

// Where got lies in ref as one unbroken run of its bytes: the offset of
// the first occurrence, or -1 (also for an empty got).
long find_within(const std::string &ref, const std::string &got);

// Where an item lies in a cycle of n items repeated without end, whose
// positions count on through the repetitions (item i of repetition r at
// r * n + i): the first position at or after next, within one cycle, whose
// item is_at(index in the cycle) says is the one sought; -1 when none is.
long long cycle_find(long long next, size_t n, const std::function<bool(size_t)> &is_at);

// One long option of a benchmark program, --name VALUE, and where its value
// goes: read as a whole number (int, long), a number (double), kept as
// text, or, for a bool, an option without a value that sets it.
struct bench_arg {
    const char *name;
    std::variant<int *, long *, double *, std::string *, bool *> to;
};

// Reads the long options of argv into what args point at. False (getopt
// names an unknown option on stderr) on an option not in args, a number
// with anything after it, or an argument that is no option; the caller
// then prints its usage.
bool bench_parse_args(int argc, char **argv, const std::vector<bench_arg> &args);
