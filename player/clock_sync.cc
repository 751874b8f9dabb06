// clock_sync.cc - the server's clock from the lower envelopes of the time
// exchange's two ways.
#include "clock_sync.h"

#include <math.h>

#include <algorithm>
#include <vector>

namespace {

long long mid_of(const clock_sample &s) {
    return s.sent + (s.came - s.sent) / 2;
}

// The window's two ways as the estimate sees them: each exchange's time
// before the newest (t), its way out less the newest's (out) and its way
// back likewise (back), so that the doubles stay small; the drift; and
// the lowest of the ways once the drift is taken out.
struct ways {
    long long ref, base_out, base_back;
    std::vector<double> t, out, back;
    double drift = 0;
    double low_out = 0, low_back = 0;
};

// The lowest of a way at the newest time for a drift f, over the points
// from index from on: the way's points with the drift taken out (sign: +1
// for the way out, -1 for back).
double lowest(const std::vector<double> &y, const std::vector<double> &t, double f, double sign,
              size_t from = 0) {
    double low = HUGE_VAL;
    for (size_t i = from; i < y.size(); i++) low = std::min(low, y[i] - sign * f * t[i]);
    return low;
}

// Whether the exchanges' round trips hardly vary (a quiet LAN): the drift
// is then known over far less time.
bool quiet(const std::deque<clock_sample> &w) {
    std::vector<long long> trips;
    for (const clock_sample &s : w) trips.push_back((s.came - s.sent) - (s.transmit - s.receive));
    std::nth_element(trips.begin(), trips.begin() + static_cast<long>(trips.size() / 2),
                     trips.end());
    long long median = trips[trips.size() / 2];
    return median - *std::min_element(trips.begin(), trips.end()) < CLOCK_QUIET_TRIP_NS;
}

// Whether the window tells the drift: it spans CLOCK_DRIFT_SPAN_NS, or
// CLOCK_QUICK_SPAN_NS of quiet exchanges.
bool drift_known(const std::deque<clock_sample> &w) {
    long long span = mid_of(w.back()) - mid_of(w.front());
    return span >= CLOCK_DRIFT_SPAN_NS || (span >= CLOCK_QUICK_SPAN_NS && quiet(w));
}

// The drift that lifts both ways' lowest points highest at the newest
// time: with the true drift the lines below the two ways meet the
// exchanges that queued least; a wrong one tilts one way's line under its
// old points. The sum of the two lowest is concave in the drift, so a
// ternary search finds its top. 0 while the window cannot tell it.
double drift_of(const std::deque<clock_sample> &w, const ways &e) {
    if (!drift_known(w)) return 0;
    double lo = -CLOCK_MAX_DRIFT, hi = CLOCK_MAX_DRIFT;
    auto lift = [&](double f) { return lowest(e.out, e.t, f, 1) + lowest(e.back, e.t, f, -1); };
    for (int i = 0; i < 100 && hi - lo > 1e-9; i++) {
        double a = lo + (hi - lo) / 3, b = hi - (hi - lo) / 3;
        (lift(a) < lift(b) ? lo : hi) = lift(a) < lift(b) ? a : b;
    }
    return (lo + hi) / 2;
}

// The first point that the offset is found from: with the drift known,
// every one; before, only those of the last CLOCK_OFFSET_NS, over which the
// drift that is not taken out moves the offset little.
size_t offset_from(const std::deque<clock_sample> &w, const ways &e) {
    if (drift_known(w)) return 0;
    size_t i = 0;
    while (i + 1 < w.size() && e.ref - mid_of(w[i]) > CLOCK_OFFSET_NS) i++;
    return i;
}

ways ways_of(const std::deque<clock_sample> &w) {
    ways e;
    e.ref = mid_of(w.back());
    e.base_out = w.back().receive - w.back().sent;
    e.base_back = w.back().came - w.back().transmit;
    for (const clock_sample &s : w) {
        e.t.push_back(static_cast<double>(mid_of(s) - e.ref));
        e.out.push_back(static_cast<double>(s.receive - s.sent - e.base_out));
        e.back.push_back(static_cast<double>(s.came - s.transmit - e.base_back));
    }
    e.drift = drift_of(w, e);
    size_t from = offset_from(w, e);
    e.low_out = lowest(e.out, e.t, e.drift, 1, from);
    e.low_back = lowest(e.back, e.t, e.drift, -1, from);
    return e;
}

void refit(clock_sync *c) {
    ways e = ways_of(c->window);
    long long both = e.base_out - e.base_back;
    double part = static_cast<double>(both % 2) / 2 + (e.low_out - e.low_back) / 2;
    c->fit.at = e.ref;
    c->fit.offset = both / 2 + llround(part);
    c->fit.part = part - static_cast<double>(llround(part));
    c->fit.drift = e.drift;
    c->fitted = true;
}

// How far s lies below the window's lowest ways, the lower of the two; 0
// when on or above both.
double below_lowest(const std::deque<clock_sample> &w, const clock_sample &s) {
    ways e = ways_of(w);
    double t = static_cast<double>(mid_of(s) - e.ref);
    double out = static_cast<double>(s.receive - s.sent - e.base_out) - e.drift * t - e.low_out;
    double back = static_cast<double>(s.came - s.transmit - e.base_back) + e.drift * t - e.low_back;
    return std::max(0.0, -std::min(out, back));
}

// Before the drift is known the ways miss it since the oldest exchange: a
// point may lie that much lower without a step.
double step_threshold(const std::deque<clock_sample> &w, const clock_sample &s) {
    bool sloped = drift_known(w);
    double span = static_cast<double>(mid_of(s) - mid_of(w.front()));
    return static_cast<double>(CLOCK_STEP_NS) + (sloped ? 0.0 : CLOCK_MAX_DRIFT * span);
}

// Adds s to the window, which keeps at most CLOCK_WINDOW exchanges of at
// most CLOCK_WINDOW_NS.
void keep(clock_sync *c, const clock_sample &s) {
    c->window.push_back(s);
    while (c->window.size() > CLOCK_WINDOW ||
           mid_of(c->window.back()) - mid_of(c->window.front()) > CLOCK_WINDOW_NS)
        c->window.pop_front();
}

}  // namespace

bool clock_sync_take(clock_sync *c, const clock_sample &s) {
    if (s.came < s.sent || s.transmit < s.receive) return false;
    if (s.came - s.sent < s.transmit - s.receive) return false;
    bool low = !c->window.empty() && below_lowest(c->window, s) > step_threshold(c->window, s);
    if (low && c->has_below) {  // the clock stepped: start again from the two below
        c->window.assign(1, c->below);
        c->has_below = false;
        c->asked = 0;
    } else if (low) {
        c->below = s;
        c->has_below = true;
        return true;
    } else if (c->has_below) {
        keep(c, c->below);
        c->has_below = false;
    }
    keep(c, s);
    refit(c);
    return true;
}

bool clock_sync_ready(const clock_sync &c) {
    return c.fitted;
}

long long clock_sync_server_at(const clock_sync &c, long long p) {
    return p + c.fit.offset + llround(c.fit.part + c.fit.drift * static_cast<double>(p - c.fit.at));
}

long long clock_sync_player_at(const clock_sync &c, long long s) {
    long long p = s - c.fit.offset;
    for (int i = 0; i < 3; i++) p -= clock_sync_server_at(c, p) - s;
    return p;
}

double clock_sync_rate(const clock_sync &c) {
    return 1 + c.fit.drift;
}

long long clock_sync_next_request(const clock_sync &c) {
    if (c.asked == 0) return 0;
    return c.last_request + (c.asked < CLOCK_BURST ? CLOCK_BURST_GAP_NS : CLOCK_INTERVAL_NS);
}

void clock_sync_asked(clock_sync *c, long long now) {
    c->last_request = now;
    c->asked++;
}

void clock_sync_reset(clock_sync *c) {
    *c = clock_sync{};
}
