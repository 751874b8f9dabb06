// bench_util.cc - pure helpers of the benchmark programs.
#include "bench_util.h"

#include <ctype.h>
#include <errno.h>
#include <getopt.h>
#include <limits.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>

#include "proto_encode.h"

namespace {

enum { IN_SIZE_LINE, IN_DATA, AFTER_DATA, AFTER_LAST };

// The chunk size of a complete size line (extensions after ';' ignored),
// or -1 when it is no hex number.
long chunk_size(const std::string &line) {
    std::string digits = line.substr(0, line.find_first_of(";\r\n"));
    if (digits.empty() || digits.size() > 12 ||
        digits.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
        return -1;
    return strtol(digits.c_str(), nullptr, 16);
}

// getopt_long's value for args[i]: above every character it returns itself.
constexpr int ARG_VALUE_BASE = 256;

// Stores text into *to as its type reads it; false when it is not one.
bool store(const std::variant<int *, long *, double *, std::string *, bool *> &to,
           const char *text) {
    if (auto *s = std::get_if<std::string *>(&to)) {
        **s = text;
        return true;
    }
    if (auto *b = std::get_if<bool *>(&to)) {
        **b = true;
        return true;
    }
    char *end = nullptr;
    errno = 0;
    if (auto *d = std::get_if<double *>(&to)) {
        **d = strtod(text, &end);
        return *text != '\0' && *end == '\0' && errno == 0;
    }
    long n = strtol(text, &end, 10);
    if (*text == '\0' || *end != '\0' || errno != 0) return false;
    if (auto *l = std::get_if<long *>(&to)) {
        **l = n;
        return true;
    }
    if (n < INT_MIN || n > INT_MAX) return false;
    *std::get<int *>(to) = static_cast<int>(n);
    return true;
}

}  // namespace

std::vector<uint8_t> make_channel_list(const std::vector<list_entry> &entries) {
    std::vector<uint8_t> msg = encode_list_start();
    for (const list_entry &e : entries)
        encode_list_entry(&msg, static_cast<uint8_t>(e.chnid), e.desc);
    return msg;
}

std::vector<uint8_t> make_data_message(int chnid, int payload_size) {
    std::vector<uint8_t> payload(static_cast<size_t>(payload_size));
    for (size_t i = 0; i < payload.size(); i++)
        payload[i] = static_cast<uint8_t>(((i + 1) * 131 + 7) % 251);
    return encode_data(static_cast<uint8_t>(chnid), payload.data(), payload.size());
}

long due_by(double elapsed_s, double rate, long count, int burst) {
    if (elapsed_s < 0) return 0;
    double due = (floor(elapsed_s * rate / burst) + 1) * burst;
    return due >= static_cast<double>(count) ? count : static_cast<long>(due);
}

double max_bound_excess(const std::vector<chunk> &chunks, double rate, double burst) {
    double worst = -burst;
    for (size_t i = 0; i < chunks.size(); i++) {
        long bytes = 0;
        for (size_t j = i; j < chunks.size(); j++) {
            bytes += chunks[j].bytes;
            double excess =
                static_cast<double>(bytes) - (burst + rate * (chunks[j].t - chunks[i].t));
            worst = std::max(worst, excess);
        }
    }
    return worst;
}

double median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

double percentile(std::vector<double> values, double p) {
    if (values.empty()) return -1;
    std::sort(values.begin(), values.end());
    size_t at = static_cast<size_t>(p / 100 * static_cast<double>(values.size()));
    return values[std::min(values.size() - 1, at)];
}

std::vector<double> rate_ladder(double first, double last, double factor) {
    std::vector<double> rates;
    for (double r = first; r <= last * 1.0001; r *= factor) {
        double rounded = std::max(500.0, round(r / 500) * 500);
        if (rates.empty() || rounded > rates.back()) rates.push_back(rounded);
    }
    return rates;
}

double bisect_rate(double lo, double hi) {
    return round(sqrt(lo * hi) / 100) * 100;
}

size_t http_head_length(const std::string &buf) {
    size_t end = buf.find("\r\n\r\n");
    return end == std::string::npos ? 0 : end + 4;
}

http_head http_parse_head(const std::string &head) {
    http_head h{0, false};
    int status = 0;
    char rest = 0;
    if ((sscanf(head.c_str(), "HTTP/%*d.%*d %3d%c", &status, &rest) == 2 ||
         sscanf(head.c_str(), "ICY %3d%c", &status, &rest) == 2) &&
        rest == ' ')
        h.status = status;
    std::string lower = head;
    for (char &c : lower) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    for (size_t at = lower.find("\r\n"); at != std::string::npos; at = lower.find("\r\n", at + 2)) {
        const std::string name = "\r\ntransfer-encoding:";
        if (lower.compare(at, name.size(), name) != 0) continue;
        size_t end = lower.find("\r\n", at + 2);
        h.chunked = lower.substr(at + name.size(), end - at - name.size()).find("chunked") !=
                    std::string::npos;
    }
    return h;
}

bool dechunk(dechunker *d, const char *in, size_t n, std::string *out) {
    for (size_t i = 0; i < n && d->state != AFTER_LAST;) {
        if (d->state == IN_DATA) {
            size_t take = std::min(d->left, n - i);
            out->append(in + i, take);
            i += take;
            d->left -= take;
            if (d->left == 0) d->state = AFTER_DATA;
            continue;
        }
        char c = in[i++];
        d->line += c;
        if (d->line.size() > 1024) return false;
        if (c != '\n') continue;
        std::string line = std::move(d->line);
        d->line.clear();
        if (d->state == AFTER_DATA) {
            if (line != "\r\n") return false;
            d->state = IN_SIZE_LINE;
            continue;
        }
        long size = chunk_size(line);
        if (size < 0) return false;
        d->left = static_cast<size_t>(size);
        d->state = size > 0 ? IN_DATA : AFTER_LAST;
    }
    return true;
}

bool dechunk_ended(const dechunker &d) {
    return d.state == AFTER_LAST;
}

long find_within(const std::string &ref, const std::string &got) {
    if (got.empty()) return -1;
    size_t key = std::min<size_t>(got.size(), 4096);
    for (size_t at = ref.find(got.data(), 0, key); at != std::string::npos;
         at = ref.find(got.data(), at + 1, key)) {
        if (ref.compare(at, got.size(), got) == 0) return static_cast<long>(at);
    }
    return -1;
}

long long cycle_find(long long next, size_t n, const std::function<bool(size_t)> &is_at) {
    if (n == 0 || next < 0) return -1;
    for (size_t step = 0; step < n; step++) {
        long long at = next + static_cast<long long>(step);
        if (is_at(static_cast<size_t>(at % static_cast<long long>(n)))) return at;
    }
    return -1;
}

bool bench_parse_args(int argc, char **argv, const std::vector<bench_arg> &args) {
    std::vector<option> opts;
    for (const bench_arg &a : args) {
        bool flag = std::holds_alternative<bool *>(a.to);
        opts.push_back({a.name, flag ? no_argument : required_argument, nullptr,
                        ARG_VALUE_BASE + static_cast<int>(opts.size())});
    }
    opts.push_back({nullptr, 0, nullptr, 0});
    optind = 0;  // glibc starts afresh, so that a program (or a test) may parse twice
    for (int k; (k = getopt_long(argc, argv, "", opts.data(), nullptr)) != -1;) {
        if (k < ARG_VALUE_BASE) return false;  // getopt_long has said what was wrong
        if (!store(args[static_cast<size_t>(k - ARG_VALUE_BASE)].to, optarg ? optarg : ""))
            return false;
    }
    return optind == argc;
}
