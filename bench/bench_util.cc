// bench_util.cc - pure helpers of the benchmark programs.
#include "bench_util.h"

#include <math.h>

#include <algorithm>

#include "proto_encode.h"

std::vector<uint8_t> make_channel_list(const std::vector<list_entry> &entries) {
    std::vector<uint8_t> msg = encode_list_start();
    for (const list_entry &e : entries) encode_list_entry(&msg, static_cast<uint8_t>(e.chnid), e.desc);
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
