// gateway_peers.cc - what the gateway benchmarks share: their common
// options and start, the busy radio, Icecast and its source, and the
// servers' memory and writes.
#include "gateway_peers.h"

#include <errno.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "netns.h"
#include "radio.h"

namespace {

constexpr const char *SOURCE_PASSWORD = "bench-source";

// The number after "field:" at a line's start in a file of /proc; -1 when
// there is none.
long long proc_field(pid_t pid, const char *file, const char *field) {
    std::string text = "\n" + read_file("/proc/" + std::to_string(pid) + "/" + file);
    size_t at = text.find("\n" + std::string(field) + ":");
    return at == std::string::npos ? -1 : atoll(text.c_str() + at + strlen(field) + 2);
}

}  // namespace

long status_kib(pid_t pid, const char *field) {
    return static_cast<long>(proc_field(pid, "status", field));
}

io_counts written_by(pid_t pid) {
    return {proc_field(pid, "io", "syscw"), proc_field(pid, "io", "wchar")};
}

long rss_kib(pid_t pid) {
    return status_kib(pid, "VmRSS");
}

// Icecast as the Debian package ships it, but on loopback, with room for
// the listeners, and as nobody (it refuses to serve as root).
bool start_icecast(int clients, uint16_t port, const std::string &dir, child_proc *p) {
    std::string logs = dir + "/icecast-log";
    std::string conf_path = dir + "/icecast.xml";
    std::string xml = "<icecast>\n";
    xml += "  <limits><clients>" + std::to_string(clients) +
           "</clients><sources>2</sources></limits>\n";
    xml += "  <authentication><source-password>" + std::string(SOURCE_PASSWORD) +
           "</source-password><admin-user>admin</admin-user>"
           "<admin-password>bench-admin</admin-password></authentication>\n";
    xml += "  <hostname>127.0.0.1</hostname>\n";
    xml += "  <listen-socket><port>" + std::to_string(port) +
           "</port><bind-address>127.0.0.1</bind-address></listen-socket>\n";
    xml += "  <paths><logdir>" + logs +
           "</logdir><webroot>/usr/share/icecast2/web</webroot>"
           "<adminroot>/usr/share/icecast2/admin</adminroot></paths>\n";
    xml +=
        "  <logging><errorlog>error.log</errorlog><accesslog>access.log</accesslog>"
        "<loglevel>2</loglevel></logging>\n";
    xml +=
        "  <security><chroot>0</chroot><changeowner><user>nobody</user>"
        "<group>nogroup</group></changeowner></security>\n";
    xml += "</icecast>\n";
    // nobody writes the logs, so it must reach the folder.
    if (!write_file(conf_path, xml) || mkdir(logs.c_str(), 0777) < 0 ||
        chmod(logs.c_str(), 0777) < 0 || chmod(dir.c_str(), 0711) < 0) {
        perror("icecast configuration");
        return false;
    }
    return proc_start(p, {"icecast2", "-c", conf_path}, dir, "icecast", false);
}

// ffmpeg sends the file's frames as they are, looped, at the pace they
// play, with no tag or header frame of its own in front.
bool start_source(const std::string &dir, const std::string &mp3, uint16_t port,
                  child_proc *source) {
    std::string url = "icecast://source:" + std::string(SOURCE_PASSWORD) +
                      "@127.0.0.1:" + std::to_string(port) + ICECAST_MOUNT;
    std::vector<std::string> argv = {"ffmpeg", "-nostdin", "-loglevel", "error"};
    argv.insert(argv.end(), {"-re", "-stream_loop", "-1", "-i", mp3, "-c:a", "copy", "-f", "mp3"});
    argv.insert(argv.end(), {"-id3v2_version", "0", "-write_xing", "0"});
    argv.insert(argv.end(), {"-content_type", "audio/mpeg", url});
    return proc_start(source, argv, dir, "ffmpeg", false);
}

// Ends p; with strict, an exit other than 0 on SIGTERM is reported.
void stop_process(child_proc *p, const char *name, bool strict) {
    if (p->pid < 0) return;
    kill(p->pid, SIGTERM);
    int status = 0;
    if (!proc_wait(p, 3000, &status)) {
        fprintf(stderr, "%s: %s did not end on SIGTERM within 3 s\n", program_invocation_short_name,
                name);
        proc_kill(p);
    } else if (strict && (!WIFEXITED(status) || WEXITSTATUS(status) != 0)) {
        fprintf(stderr, "%s: %s ended with wait status %d\n", program_invocation_short_name, name,
                status);
    }
}

void raise_open_files() {
    rlimit r;
    if (getrlimit(RLIMIT_NOFILE, &r) == 0 && r.rlim_cur < r.rlim_max) {
        r.rlim_cur = r.rlim_max;
        setrlimit(RLIMIT_NOFILE, &r);
    }
}

// The radio's folder in dir, channel 1 playing the long piece (*piece).
std::string make_radio(const std::string &dir, int long_s, std::string *piece) {
    std::vector<std::string> pieces = radio_pieces(BENCH_AUDIO_DIR);
    *piece = radio_long_piece(BENCH_AUDIO_DIR, long_s);
    if (pieces.empty() || piece->empty()) {
        fprintf(stderr, "%s: cannot make the music with sox and lame\n",
                program_invocation_short_name);
        return "";
    }
    std::vector<std::string> song_of{*piece};
    for (int c = 2; c <= RADIO_CHANNELS; c++) song_of.push_back(radio_piece_of(pieces, c));
    return radio_folder(dir, song_of);
}

std::vector<bench_arg> listener_bench_args(int *listeners, double *connect_rate, double *seconds,
                                           std::string *gateway, std::string *only,
                                           const std::vector<bench_arg> &more) {
    std::vector<bench_arg> args = {{"listeners", listeners},
                                   {"connect-rate", connect_rate},
                                   {"seconds", seconds},
                                   {"gateway", gateway},
                                   {"only", only}};
    args.insert(args.end(), more.begin(), more.end());
    return args;
}

bool gateway_given(const std::string &gateway) {
    if (gateway.empty())
        fprintf(stderr, "%s: no stream_gateway in this build: give --gateway PATH\n",
                program_invocation_short_name);
    return !gateway.empty();
}

bool enter_bench_radio(int long_s, bench_radio *r) {
    std::string why = netns_enter_private();
    if (!why.empty()) {
        fprintf(stderr, "%s: no private network namespace: %s\n", program_invocation_short_name,
                why.c_str());
        return false;
    }
    raise_open_files();
    r->dir = make_temp_dir();
    r->folder = make_radio(r->dir, long_s, &r->piece);
    if (r->folder.empty()) remove_tree(r->dir);
    return !r->folder.empty();
}

// Whether something accepts connections on 127.0.0.1:port.
bool accepts(uint16_t port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = fd >= 0 && connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to) == 0;
    if (fd >= 0) close(fd);
    return ok;
}
