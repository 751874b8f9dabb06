// device_clock.cc - a device's rate from the frames it played over time.
#include "device_clock.h"

#include <math.h>

#include <algorithm>

namespace {

// The least-squares line of the points' frames played against their time
// into c; false when they span too little.
bool fit(device_clock *c) {
    const std::deque<device_point> &p = c->points;
    if (p.size() < 3 || p.back().at - p.front().at < DEVICE_MIN_SPAN_NS) return false;
    double n = static_cast<double>(p.size()), st = 0, sy = 0, stt = 0, sty = 0;
    for (const device_point &x : p) {
        double t = static_cast<double>(x.at - p.front().at) / 1e9;
        double y = x.played - p.front().played;
        st += t, sy += y, stt += t * t, sty += t * y;
    }
    double var = stt - st * st / n;
    if (var <= 0) return false;
    c->fit_rate = (sty - st * sy / n) / var;
    c->fit_at = p.front().at;
    c->fit_played = p.front().played + (sy - c->fit_rate * st) / n;
    return true;
}

}  // namespace

void device_clock_took(device_clock *c, long frames) {
    c->taken += static_cast<double>(frames);
}

void device_clock_holds(device_clock *c, long long now, long long held, int rate) {
    if (c->began < 0) c->began = now;
    if (now - c->began < DEVICE_SETTLE_NS) return;
    c->points.push_back({now, c->taken - static_cast<double>(held)});
    while (c->points.size() > DEVICE_MAX_POINTS || now - c->points.front().at > DEVICE_WINDOW_NS)
        c->points.pop_front();
    c->fitted = fit(c) && fabs(c->fit_rate / rate - 1) <= DEVICE_MAX_DRIFT;
    if (c->fitted) c->ratio = c->fit_rate / rate;
}

double device_clock_held(const device_clock &c, long long now, long long said) {
    if (!c.fitted) return static_cast<double>(said);
    auto line = [&c](long long at) {
        return c.fit_played + c.fit_rate * static_cast<double>(at - c.fit_at) / 1e9;
    };
    // The line's rate, at the level of the last DEVICE_LEVEL_NS of points.
    double off = 0;
    int n = 0;
    for (auto it = c.points.rbegin(); it != c.points.rend() && now - it->at <= DEVICE_LEVEL_NS;
         ++it)
        off += it->played - line(it->at), n++;
    return std::max(0.0, c.taken - line(now) - (n > 0 ? off / n : 0));
}

void device_clock_restart(device_clock *c) {
    c->taken = 0;
    c->began = -1;
    c->points.clear();
    c->fitted = false;
}
