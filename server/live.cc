// live.cc - the live source's thread, and what the send loop takes of it.
#include "live.h"

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/opt.h>
}

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "mono_clock.h"
#include "mp3_frames.h"
#include "utf8.h"

namespace {

// What the libraries' waits ask: the thread is told to stop, or the
// current wait has lasted too long.
struct wait_bound {
    live_source *l;
    std::atomic<long long> deadline_ns;
};

int give_up(void *opaque) {
    auto *b = static_cast<wait_bound *>(opaque);
    if (now_ns() > b->deadline_ns.load()) return 1;
    std::lock_guard<std::mutex> hold(b->l->lock);
    return b->l->stop ? 1 : 0;
}

// The title in an ICY metadata block (StreamTitle='...';), or "".
std::string icy_title(const std::string &meta) {
    const std::string key = "StreamTitle='";
    size_t at = meta.find(key);
    if (at == std::string::npos) return "";
    at += key.size();
    size_t end = meta.find("';", at);
    return meta.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

void push_frame(live_source *l, const uint8_t *f, const mp3_header &h) {
    std::lock_guard<std::mutex> hold(l->lock);
    l->frames.emplace_back(f, f + h.size);
    l->frame_ns = mp3_frame_ns(h);
    while (static_cast<long long>(l->frames.size()) * l->frame_ns > LIVE_QUEUE_NS) {
        l->frames.pop_front();
        l->dropped++;
    }
    l->last_audio_ns = now_ns();
}

// Starts the shell command cmd with its standard output on a pipe; the
// pipe's read end (non-blocking), or -1 with *why set. *pid is the
// command's, the leader of a process group of its own.
int start_command(const std::string &cmd, pid_t *pid, std::string *why) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) < 0) {
        *why = std::string("pipe(): ") + strerror(errno);
        return -1;
    }
    posix_spawn_file_actions_t acts;
    posix_spawn_file_actions_init(&acts);
    posix_spawn_file_actions_addopen(&acts, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&acts, fds[1], 1);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    // The server's signals are blocked for its signalfd: the command's are not.
    sigset_t none, ours;
    sigemptyset(&none);
    sigemptyset(&ours);
    for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGPIPE}) sigaddset(&ours, sig);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &ours);
    posix_spawnattr_setpgroup(&attr, 0);
    posix_spawnattr_setflags(
        &attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);
    const char *argv[] = {"/bin/sh", "-c", cmd.c_str(), nullptr};
    int err = posix_spawn(pid, "/bin/sh", &acts, &attr, const_cast<char *const *>(argv), environ);
    posix_spawn_file_actions_destroy(&acts);
    posix_spawnattr_destroy(&attr);
    close(fds[1]);
    if (err != 0) {
        close(fds[0]);
        *why = std::string("/bin/sh: ") + strerror(err);
        return -1;
    }
    fcntl(fds[0], F_SETFL, O_NONBLOCK);
    return fds[0];
}

// Ends the command's process group and reaps it: SIGTERM, then SIGKILL
// after a second.
void end_command(pid_t pid) {
    kill(-pid, SIGTERM);
    for (int i = 0; i < 100; i++) {
        if (waitpid(pid, nullptr, WNOHANG) == pid) return;
        usleep(10000);
    }
    kill(-pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

// One silent frame of format f, standing alone.
std::vector<uint8_t> silent_frame(audio_format f, std::string *why) {
    mp3_encoder e;
    if (!mp3_encoder_open(&e, f, why, true)) return {};
    std::vector<float> zeros(static_cast<size_t>(1152 * 4 * f.channels), 0.0f);
    std::vector<uint8_t> mp3;
    mp3_encode(&e, zeros.data(), 1152 * 4, 1.0f, &mp3);
    mp3_encode_flush(&e, &mp3);
    mp3_encoder_close(&e);
    std::vector<std::vector<uint8_t>> frames;
    mp3_stream_scan scan;
    mp3_scan_feed(&scan, mp3.data(), mp3.size(), true,
                  [&](const uint8_t *p, const mp3_header &h, uint64_t) {
                      frames.emplace_back(p, p + h.size);
                  });
    if (frames.size() < 2) {
        *why = "the MP3 encoder gives no silent frame";
        return {};
    }
    return frames[1];
}

// Reads the source once, until it fails, ends or gives no audio for the
// fallback time; *why says which. Each wait is bounded.
void read_once(live_source *l, mp3_encoder *enc, std::string *why) {
    wait_bound bound{l, {now_ns() + LIVE_OPEN_S * NS_PER_S}};
    AVIOInterruptCB cb{give_up, &bound};
    std::string url = l->url;
    int fifo = -1;
    pid_t command = -1;
    struct stat st;
    if (live_is_command(url)) {
        fifo = start_command(url.substr(1), &command, why);
        if (fifo < 0) return;
        url = "pipe:" + std::to_string(fifo);
    }
    // A FIFO is opened here without waiting for a writer (a FIFO that
    // nobody writes reads as its end), and read through its descriptor.
    if (command < 0 && url.find("://") == std::string::npos && stat(url.c_str(), &st) == 0 &&
        S_ISFIFO(st.st_mode)) {
        fifo = open(url.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (fifo < 0) {
            *why = strerror(errno);
            return;
        }
        url = "pipe:" + std::to_string(fifo);
        // Until a writer comes, the FIFO gives neither data nor an end.
        pollfd pfd{fifo, POLLIN, 0};
        while (poll(&pfd, 1, 100) == 0 && !give_up(&bound)) {
        }
        if (!(pfd.revents & POLLIN)) {
            *why = "nobody writes to it";
            close(fifo);
            return;
        }
    }
    AVDictionary *opts = nullptr;
    av_dict_set(&opts, "icy", "1", 0);
    decoded_file d;
    bool opened = decoded_open(&d, url, l->format, why, &cb, &opts);
    av_dict_free(&opts);
    if (!opened) {
        if (now_ns() > bound.deadline_ns.load())
            *why = "no answer in " + std::to_string(LIVE_OPEN_S) + " s";
        if (fifo >= 0) close(fifo);
        if (command > 0) end_command(command);
        return;
    }
    // MP3 of the channel's format goes out as it comes.
    bool as_is = decoded_is_mp3_of(&d, l->format);
    {
        std::lock_guard<std::mutex> hold(l->lock);
        l->codec = d.codec;
        l->as_is = as_is;
    }
    mp3_stream_scan scan;
    std::vector<float> pcm;
    std::vector<uint8_t> mp3;
    for (;;) {
        bound.deadline_ns = now_ns() + l->fallback_ns;
        mp3.clear();
        long n = as_is ? decoded_packet(&d, &mp3, why) : decoded_read(&d, &pcm, why);
        if (n == -2) {
            if (now_ns() > bound.deadline_ns.load())
                *why = "no audio for " + std::to_string(l->fallback_ns / NS_PER_S) + " s";
            break;
        }
        if (!as_is) {
            mp3_encode(enc, pcm.data(), pcm.size() / static_cast<size_t>(l->format.channels), 1.0f,
                       &mp3);
            pcm.clear();
        }
        mp3_scan_feed(
            &scan, mp3.data(), mp3.size(), false,
            [l](const uint8_t *f, const mp3_header &h, uint64_t) { push_frame(l, f, h); });
        uint8_t *meta = nullptr;
        if (d.fmt->pb &&
            av_opt_get(d.fmt->pb, "icy_metadata_packet", AV_OPT_SEARCH_CHILDREN, &meta) >= 0 &&
            meta) {
            std::string title = icy_title(reinterpret_cast<char *>(meta));
            std::lock_guard<std::mutex> hold(l->lock);
            if (!title.empty()) l->title = title;
        }
        av_free(meta);
        if (n == -1) {
            *why = "the stream ended";
            break;
        }
    }
    decoded_close(&d);
    if (fifo >= 0) close(fifo);
    if (command > 0) end_command(command);
}

void work(live_source *l) {
    mp3_encoder enc;
    std::string why;
    if (!mp3_encoder_open(&enc, l->format, &why, true)) return;
    int wait_s = 1;
    std::unique_lock<std::mutex> hold(l->lock);
    while (!l->stop) {
        hold.unlock();
        long long start = now_ns();
        why.clear();
        read_once(l, &enc, &why);
        hold.lock();
        if (l->stop) break;
        // A source that played a while is tried again soon.
        if (l->last_audio_ns > start && now_ns() - start > 10 * NS_PER_S) wait_s = 1;
        fprintf(l->report, "channel %d: live %s: %s; trying again in %d s\n", l->channel,
                utf8_clean(l->shown).c_str(), why.c_str(), wait_s);
        l->wake.wait_for(hold, std::chrono::seconds(wait_s), [l] { return l->stop; });
        wait_s = std::min(wait_s * 2, LIVE_RETRY_MAX_S);
    }
    hold.unlock();
    mp3_encoder_close(&enc);
}

}  // namespace

bool live_is_command(const std::string &url) {
    return !url.empty() && url[0] == '|';
}

std::string live_shown(const std::string &url) {
    // A command by its program's name alone: its arguments may hold secrets.
    if (live_is_command(url)) {
        size_t from = url.find_first_not_of(" \t", 1);
        if (from == std::string::npos) return "command";
        return "command " + url.substr(from, url.find_first_of(" \t", from) - from);
    }
    std::string s = url.substr(0, url.find_first_of("?#"));
    size_t scheme = s.find("://");
    if (scheme == std::string::npos) return s;
    size_t host = scheme + 3;
    size_t at = s.find('@', host), slash = s.find('/', host);
    if (at != std::string::npos && (slash == std::string::npos || at < slash))
        s.erase(host, at + 1 - host);
    return s;
}

bool live_start(live_source *l, const std::string &url, audio_format f, long long fallback_ns,
                int channel, FILE *report, std::string *why) {
    l->url = url;
    l->shown = live_shown(url);
    l->format = f;
    l->fallback_ns = fallback_ns;
    l->channel = channel;
    l->report = report;
    l->silence = silent_frame(f, why);
    if (l->silence.empty()) return false;
    mp3_header h;
    mp3_parse_header(l->silence.data(), &h);
    l->silence_ns = mp3_frame_ns(h);
    l->worker = std::thread(work, l);
    return true;
}

bool live_on_air(live_source *l, long long now, bool playing) {
    std::lock_guard<std::mutex> hold(l->lock);
    if (l->last_audio_ns < 0) return false;
    if (playing) return now - l->last_audio_ns < l->fallback_ns;
    return static_cast<long long>(l->frames.size()) * l->frame_ns >= LIVE_START_NS &&
           now - l->last_audio_ns < NS_PER_S;
}

long long live_take(live_source *l, size_t max, std::vector<uint8_t> *payload) {
    std::lock_guard<std::mutex> hold(l->lock);
    long long ns = 0;
    while (!l->frames.empty() &&
           (payload->empty() || payload->size() + l->frames.front().size() <= max)) {
        payload->insert(payload->end(), l->frames.front().begin(), l->frames.front().end());
        l->frames.pop_front();
        ns += l->frame_ns;
    }
    if (payload->empty()) {
        payload->insert(payload->end(), l->silence.begin(), l->silence.end());
        l->inserted++;
        ns = l->silence_ns;
    }
    return ns;
}

void live_stop(live_source *l) {
    {
        std::lock_guard<std::mutex> hold(l->lock);
        l->stop = true;
        l->wake.notify_all();
    }
    if (l->worker.joinable()) l->worker.join();
}
