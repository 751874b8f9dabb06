// clock_sync.h - the server's clock as a player estimates it from the time
// exchange (timing.h): each exchange gives four times, the player's when
// the request went (sent) and the answer came (came), the server's when it
// read the request (receive) and sent the answer (transmit). Pure: times
// are handed in (nanoseconds: the player's CLOCK_MONOTONIC, the server's).
//
// The way out and the way back each take at least their shortest delay,
// and a delay that varies only ever adds to it. So the offset between the
// clocks comes from the lowest of receive - sent (the offset plus the way
// out) and the lowest of came - transmit (the way back less the offset)
// over a window of exchanges: a few that met no queue on either way, not
// the same ones, fix it. Over at least CLOCK_DRIFT_SPAN_NS (or
// CLOCK_QUICK_SPAN_NS of exchanges whose round trips hardly vary, within
// CLOCK_QUIET_TRIP_NS of the shortest: a quiet LAN) the drift between the
// clocks (at most CLOCK_MAX_DRIFT) comes first, the one that lifts both
// ways' lowest highest, and is taken out of each way before its lowest is
// found; before, only the last CLOCK_OFFSET_NS of exchanges count, over
// which a drift moves the offset little. An exchange well below
// either lowest (CLOCK_STEP_NS) twice in a row means that the server's
// clock stepped (a restart): the window starts again from those two; one
// alone joins the window with the next.
#pragma once

#include <stddef.h>

#include <deque>

constexpr size_t CLOCK_WINDOW = 256;                    // exchanges kept at most
constexpr long long CLOCK_WINDOW_NS = 300'000'000'000;  // and none older than this
constexpr long long CLOCK_DRIFT_SPAN_NS = 20'000'000'000;
constexpr long long CLOCK_QUICK_SPAN_NS = 3'000'000'000;
constexpr long long CLOCK_QUIET_TRIP_NS = 200'000;
constexpr long long CLOCK_OFFSET_NS = 3'000'000'000;
constexpr double CLOCK_MAX_DRIFT = 500e-6;
constexpr long long CLOCK_STEP_NS = 2'000'000;
// How often a player asks: CLOCK_BURST requests CLOCK_BURST_GAP_NS apart
// at the start and after a step, then one every CLOCK_INTERVAL_NS.
constexpr int CLOCK_BURST = 8;
constexpr long long CLOCK_BURST_GAP_NS = 100'000'000;
constexpr long long CLOCK_INTERVAL_NS = 500'000'000;

// One exchange.
struct clock_sample {
    long long sent = 0;      // player
    long long receive = 0;   // server
    long long transmit = 0;  // server
    long long came = 0;      // player
};

// The estimate: server = player + offset + part + drift * (player - at),
// the offset in whole nanoseconds (clocks may be days apart) and part
// below them.
struct clock_fit {
    long long at = 0;
    long long offset = 0;
    double part = 0;
    double drift = 0;  // server ns per player ns, less 1
};

struct clock_sync {
    std::deque<clock_sample> window;  // oldest first
    bool fitted = false;
    clock_fit fit;
    bool has_below = false;      // the newest exchange lies well below the window's ways,
    clock_sample below;          //   and waits for the next to tell a step from a fluke
    int asked = 0;               // requests sent since the start or the last step
    long long last_request = 0;  // when the last request went
};

// Takes one exchange. False when it is refused: a round trip below 0 (the
// server's times do not fit between the player's), or an answer that came
// before its request went.
bool clock_sync_take(clock_sync *c, const clock_sample &s);

// Whether the server's clock is known (an exchange was taken).
bool clock_sync_ready(const clock_sync &c);

// The server's clock at the player's time p; and the player's at the
// server's time s. Both need clock_sync_ready.
long long clock_sync_server_at(const clock_sync &c, long long p);
long long clock_sync_player_at(const clock_sync &c, long long s);

// Server nanoseconds per player nanosecond.
double clock_sync_rate(const clock_sync &c);

// When the next request is due: in the burst after a start or a step,
// else a CLOCK_INTERVAL_NS after the last. The caller counts each request
// it sends with clock_sync_asked.
long long clock_sync_next_request(const clock_sync &c);
void clock_sync_asked(clock_sync *c, long long now);

// Forgets every exchange (another server is followed).
void clock_sync_reset(clock_sync *c);
