// loudness.cc - measuring files, and the thread that does it.
#include "loudness.h"

#include <ebur128.h>
#include <errno.h>
#include <fcntl.h>
#include <math.h>
#include <pthread.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "mp3_gain.h"
#include "transcode.h"
#include "utf8.h"
#include "write_all.h"

namespace {

// The name of the file of measures in the state folder: a line per file,
// "LUFS PEAK KEY", the newest line of a key winning.
constexpr char STATE_NAME[] = "loudness";

// path, size and modification time, or "" when the file cannot be seen.
std::string loudness_key(const std::string &path) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return "";
    return std::to_string(st.st_size) + " " + std::to_string(st.st_mtim.tv_sec) + "." +
           std::to_string(st.st_mtim.tv_nsec) + " " + path;
}

void read_state(loudness_store *s) {
    FILE *f = fopen(s->state_file.c_str(), "r");
    if (!f) return;
    char *line = nullptr;
    size_t cap = 0;
    ssize_t n;
    while ((n = getline(&line, &cap, f)) > 0) {
        if (line[n - 1] == '\n') line[n - 1] = '\0';
        loudness_measure m;
        int used = 0;
        if (sscanf(line, "%lf %lf %n", &m.lufs, &m.peak_db, &used) == 2 && used > 0)
            s->known[line + used] = m;
    }
    free(line);
    fclose(f);
}

void keep(loudness_store *s, const std::string &key, const loudness_measure &m) {
    if (s->state_file.empty()) return;
    char head[64];
    snprintf(head, sizeof head, "%.2f %.2f ", isfinite(m.lufs) ? m.lufs : -1000.0, m.peak_db);
    std::string line = head + key + "\n";
    int fd = open(s->state_file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0 || write_all(fd, line.data(), line.size()) < 0)
        fprintf(s->report, "%s: %s; the measure is kept only until the server stops\n",
                utf8_clean(s->state_file).c_str(), strerror(errno));
    if (fd >= 0) close(fd);
}

void work(loudness_store *s) {
    // Measuring is the server's least urgent work.
    setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), 10);
    // Named, so that top -H and /proc/PID/task/*/comm show its share.
    pthread_setname_np(pthread_self(), "loudness");
    std::unique_lock<std::mutex> hold(s->lock);
    for (;;) {
        s->wake.wait(hold, [s] { return s->stop || !s->waiting.empty(); });
        if (s->stop) return;
        std::string path = s->waiting.front();
        s->waiting.pop_front();
        std::string key = loudness_key(path);
        if (key.empty() || s->known.count(key)) continue;
        hold.unlock();
        loudness_measure m;
        std::string why;
        bool ok = loudness_measure_file(path, &m, &why);
        hold.lock();
        if (!ok) continue;  // the playout says why it does not play
        s->known[key] = m;
        s->measured++;
        keep(s, key, m);
        if (s->verbose)
            fprintf(s->report, "loudness: %s: %.1f LUFS, true peak %.1f dBTP\n",
                    utf8_clean(path).c_str(), m.lufs, m.peak_db);
    }
}

}  // namespace

bool loudness_measure_file(const std::string &path, loudness_measure *m, std::string *why) {
    decoded_file d;
    if (!decoded_open(&d, path, audio_format{0, 0}, why)) return false;
    ebur128_state *st =
        ebur128_init(static_cast<unsigned>(d.out.channels), static_cast<unsigned long>(d.out.rate),
                     EBUR128_MODE_I | EBUR128_MODE_TRUE_PEAK);
    if (!st) {
        decoded_close(&d);
        *why = "the loudness meter cannot start";
        return false;
    }
    std::vector<float> pcm;
    long n;
    while ((n = decoded_read(&d, &pcm, why)) >= 0 || (n == -1 && !pcm.empty())) {
        size_t frames = pcm.size() / static_cast<size_t>(d.out.channels);
        if (frames > 0) ebur128_add_frames_float(st, pcm.data(), frames);
        pcm.clear();
        if (n == -1) break;
    }
    bool ok = n != -2;
    double peak = 0;
    for (int c = 0; ok && c < d.out.channels; c++) {
        double p = 0;
        if (ebur128_true_peak(st, static_cast<unsigned>(c), &p) == EBUR128_SUCCESS)
            peak = fmax(peak, p);
    }
    double lufs = -HUGE_VAL;
    if (ok && ebur128_loudness_global(st, &lufs) != EBUR128_SUCCESS) lufs = -HUGE_VAL;
    ebur128_destroy(&st);
    decoded_close(&d);
    if (!ok) return false;
    m->lufs = lufs;
    m->peak_db = peak > 0 ? 20 * log10(peak) : -HUGE_VAL;
    return true;
}

double loudness_gain_db(const loudness_measure &m, double target) {
    if (!isfinite(m.lufs) || m.lufs < -70) return 0;
    double gain = target - m.lufs;
    if (isfinite(m.peak_db)) gain = fmin(gain, LOUDNESS_PEAK_MAX_DB - m.peak_db);
    return gain;
}

int loudness_gain_steps(const loudness_measure &m, double target) {
    int steps = static_cast<int>(lround(loudness_gain_db(m, target) / MP3_GAIN_STEP_DB));
    while (steps > 0 && isfinite(m.peak_db) &&
           m.peak_db + steps * MP3_GAIN_STEP_DB > LOUDNESS_PEAK_MAX_DB)
        steps--;
    return steps;
}

double loudness_factor(double db) {
    return pow(10.0, db / 20);
}

bool loudness_start(loudness_store *s, const char *state_dir, bool verbose, FILE *report,
                    std::string *why) {
    s->report = report;
    s->verbose = verbose;
    if (state_dir) {
        if (mkdir(state_dir, 0755) != 0 && errno != EEXIST) {
            *why = utf8_clean(state_dir) + ": " + strerror(errno);
            return false;
        }
        s->state_file = std::string(state_dir) + "/" + STATE_NAME;
        int fd = open(s->state_file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0) {
            *why = utf8_clean(s->state_file) + ": " + strerror(errno);
            return false;
        }
        close(fd);
        read_state(s);
    }
    s->worker = std::thread(work, s);
    return true;
}

void loudness_want(loudness_store *s, const std::vector<std::string> &paths) {
    std::lock_guard<std::mutex> hold(s->lock);
    for (const auto &p : paths) s->waiting.push_back(p);
    s->wake.notify_one();
}

bool loudness_known(loudness_store *s, const std::string &path, loudness_measure *m) {
    std::string key = loudness_key(path);
    std::lock_guard<std::mutex> hold(s->lock);
    auto it = s->known.find(key);
    if (key.empty() || it == s->known.end()) return false;
    *m = it->second;
    return true;
}

void loudness_stop(loudness_store *s) {
    {
        std::lock_guard<std::mutex> hold(s->lock);
        s->stop = true;
        s->wake.notify_one();
    }
    if (s->worker.joinable()) s->worker.join();
}
