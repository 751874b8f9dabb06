// schedule_test.cc - what a device plays, simulated: each queued impulse is
// heard at its due time plus the latency, through the clocks' drift, a
// device that runs slow, lost audio, a jump in the server's timeline and
// audio that comes just before its time.
#include "schedule.h"

#include <gtest/gtest.h>
#include <math.h>

#include <vector>

namespace {

constexpr long long MS = 1'000'000;
constexpr long long S = 1'000 * MS;
constexpr int RATE = 44100;
constexpr int CHUNK = 2304;                // frames of one datagram
constexpr long long LATENCY = 3'000 * MS;  // a sample is heard at its due time plus this

struct device_case {
    const char *name;
    double drift;            // server ns per player ns, less 1
    double device;           // the device's frames per player second, over RATE, less 1
    long long buffer;        // frames the device holds ahead
    int lost_from, lost_to;  // chunks never queued
    long long jump;          // the server's timeline moves on by this at chunk 200
    long long ahead;         // a chunk is queued this long before it is heard (0: at the start)
};

// How far from its time an impulse may be heard: from the start, and
// once the loop has followed a device whose clock drifts (10 s of play).
constexpr long long FIRST_TOLERANCE = 300'000;
constexpr long long TOLERANCE = 50'000;

const device_case DEVICES[] = {
    {"clocks alike, 100 ms buffer", 0, 0, 4410, 0, 0, 0, 0},
    {"server 100 ppm fast, device 100 ppm slow, 20 ms", 100e-6, -100e-6, 882, 0, 0, 0, 0},
    {"200 ms buffer, 2 s of audio lost", -50e-6, 50e-6, 8820, 150, 188, 0, 0},
    {"the server's timeline jumps 700 ms on", 0, 0, 4410, 0, 0, 700 * MS, 0},
    {"50 ms buffer, each chunk queued 150 ms before it is heard", 100e-6, -100e-6, 2205, 0, 0, 0,
     150 * MS},
};

// The server's clock at the player's p.
long long server_at(const device_case &c, long long p) {
    return 900 * S + p + llround(static_cast<double>(p) * c.drift);
}

TEST(Schedule, EachImpulseIsHeardAtItsDueTimePlusTheLatency) {
    for (const auto &c : DEVICES) {
        SCOPED_TRACE(c.name);
        clock_sync clock;
        for (long long p = -60 * S; p <= 0; p += S)
            clock_sync_take(&clock, {p, server_at(c, p), server_at(c, p), p});
        schedule s;
        ASSERT_TRUE(schedule_start(&s, {RATE, 1, LATENCY, 0}));
        // Chunk k, an impulse at its start, is due from the server's clock
        // at the player's time 0 on.
        std::vector<long long> due;
        long long first = server_at(c, 0);
        for (int k = 0; k < 400; k++) {
            long long d = first + static_cast<long long>(k) * CHUNK * S / RATE;
            due.push_back(k >= 200 ? d + c.jump : d);
        }
        size_t added = 0;
        std::vector<int16_t> pcm(CHUNK, 0);
        pcm[0] = 20000;
        auto add_until = [&](long long server_now) {
            for (; added < due.size() &&
                   (c.ahead == 0 || due[added] + LATENCY - server_now < c.ahead);
                 added++) {
                int k = static_cast<int>(added);
                if (k < c.lost_from || k >= c.lost_to)
                    schedule_add(&s, due[added], pcm.data(), CHUNK);
            }
        };
        // The device plays from time 0 at its own rate; every 10 ms it is
        // topped up to its buffer.
        double played_rate = RATE * (1 + c.device);
        std::vector<int16_t> heard;
        for (long long t = 0; t < 25 * S; t += 10 * MS) {  // 22 s of play
            long long played = static_cast<long long>(static_cast<double>(t) * played_rate / S);
            long long queued =
                static_cast<long long>(heard.size()) - std::min<long long>(played, heard.size());
            size_t n = static_cast<size_t>(c.buffer - queued);
            std::vector<int16_t> out(n);
            add_until(server_at(c, t));
            schedule_fill(&s, clock, t + queued * S / RATE, 1, out.data(), n);
            heard.insert(heard.end(), out.begin(), out.end());
        }
        schedule_stop(&s);
        // Each impulse's peak, found to a fraction of a frame.
        long long worst = 0;  // after 10 s of play
        for (size_t k = 0; k < due.size(); k++) {
            if (static_cast<int>(k) >= c.lost_from && static_cast<int>(k) < c.lost_to) continue;
            long long at = due[k] + LATENCY;  // on the server's clock
            double want =
                static_cast<double>(at - server_at(c, 0)) / (1 + c.drift) * played_rate / S;
            long long j0 = llround(want);
            if (j0 < 3 * RATE || j0 + 200 >= static_cast<long long>(heard.size())) continue;
            long long best = j0 - 100;
            for (long long j = j0 - 100; j < j0 + 100; j++)
                if (heard[j] > heard[best]) best = j;
            double y0 = heard[best - 1], y1 = heard[best], y2 = heard[best + 1];
            if (y0 - 2 * y1 + y2 >= 0) {
                ADD_FAILURE() << "no impulse heard near its time: chunk " << k;
                continue;
            }
            double peak = static_cast<double>(best) + 0.5 * (y0 - y2) / (y0 - 2 * y1 + y2);
            long long off = std::abs(llround((peak - want) / played_rate * S));
            EXPECT_LE(off, j0 < 13 * RATE ? FIRST_TOLERANCE : TOLERANCE) << k;
            worst = std::max(worst, j0 < 13 * RATE ? 0 : off);
        }
        RecordProperty(c.name, std::to_string(worst));
    }
}

}  // namespace
