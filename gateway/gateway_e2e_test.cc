// End-to-end tests of stream_gateway with the real stream_server, inside
// private network namespaces: real HTTP players (mpg123, curl), a listener
// that stops reading among many that read, real nginx as a reverse proxy
// and the page in real headless Chromium.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "audio_support.h"
#include "e2e_support.h"
#include "hls.h"
#include "icy.h"
#include "mono_clock.h"
#include "now_playing.h"

namespace {

const std::string BASE = "http://127.0.0.1:8000";

// Skips the test when a tool is missing, or fails it under CI.
#define REQUIRE_TOOL(path)                                                  \
    do {                                                                    \
        if (access(path, X_OK) != 0) {                                      \
            if (running_in_ci()) FAIL() << path << " is missing";           \
            GTEST_SKIP() << path << " is missing (tools/ensure-deps test)"; \
        }                                                                   \
    } while (0)

// What a shell command wrote on its standard output.
std::string output_of(const std::string &cmd) {
    std::string out;
    FILE *p = popen(cmd.c_str(), "r");
    if (p == nullptr) return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    pclose(p);
    return out;
}

// The tone of 16-bit stereo samples at 44.1 kHz, in Hz, by the zero
// crossings of the left channel: within 50 Hz, as the joins of the file
// with itself add a few. Enough to tell 330 Hz from 550 Hz.
double tone_hz(const std::string &samples) {
    size_t n = samples.size() / 4;
    int crossings = 0;
    int16_t prev = 0;
    for (size_t i = 0; i < n; i++) {
        int16_t v;
        memcpy(&v, samples.data() + i * 4, 2);
        if (i > 0 && (prev < 0) != (v < 0)) crossings++;
        prev = v;
    }
    return n == 0 ? 0 : crossings / 2.0 / (static_cast<double>(n) / 44100);
}

// bytes cut after their last whole frame.
std::string whole_frames(const std::string &bytes) {
    std::vector<found_frame> f = frames_of(bytes);
    return f.empty() ? "" : bytes.substr(0, f.back().offset + static_cast<size_t>(f.back().h.size));
}

// A description that HTML, JSON and the metrics' labels must each escape.
const std::string MARKUP_DESC = "low \"tone\" \\ <b>1</b> & more";
// Channel 1's title tag: a quote that would end an ICY field.
const std::string QUOTE_TITLE = "x';StreamUrl='http://elsewhere.invalid/';";

// Splits a stream with ICY blocks into its audio and the titles of its
// full blocks.
std::string icy_audio(const std::string &body, std::vector<std::string> *titles) {
    std::string audio;
    size_t at = 0;
    while (at + ICY_METAINT < body.size()) {
        audio.append(body, at, ICY_METAINT);
        at += ICY_METAINT;
        size_t len = static_cast<uint8_t>(body[at]) * 16u;
        std::string text = body.substr(at + 1, len);
        if (len > 0) titles->push_back(text.substr(0, text.find('\0')));
        at += 1 + len;
    }
    if (at < body.size()) audio.append(body, at, std::string::npos);
    return audio;
}

class GatewayE2e : public client_e2e_fixture {
protected:
    // Channel 1 plays 330 Hz, tagged "Miles" and QUOTE_TITLE, described as
    // MARKUP_DESC; channel 2 550 Hz, untagged; each from a file of 2 s.
    void radio() {
        tones = {made_mp3(TEST_AUDIO_DIR, "gw_330_tagged", 44100, 2, "synth 2 sine 330",
                          "-b 128 --ta Miles --tt \"" + QUOTE_TITLE + "\""),
                 made_mp3(TEST_AUDIO_DIR, "gw_550", 44100, 2, "synth 2 sine 550", "-b 128")};
        for (int id = 1; id <= 2; id++) {
            ASSERT_NE("", tones[id - 1]) << "sox and lame could not make the music";
            std::string d = dir + "/radio/" + std::to_string(id);
            ASSERT_EQ(0,
                      run_shell("mkdir -p '" + d + "' && cp '" + tones[id - 1] + "' '" + d + "'"));
            ASSERT_TRUE(write_file(d + "/desc.txt", id == 1 ? MARKUP_DESC + "\n" : "high tone\n"));
        }
    }

    // The gateway, started and listening; then the server, which sends
    // its own now-playing datagrams.
    child_proc *start_radio(const std::vector<std::string> &options,
                            const std::vector<std::string> &prefix = {}) {
        std::vector<std::string> argv = prefix;
        argv.insert(argv.end(), {STREAM_GATEWAY_PATH, "--listen", "127.0.0.1:8000"});
        argv.insert(argv.end(), options.begin(), options.end());
        gw = start(argv, "gateway", false);
        EXPECT_TRUE(
            wait_until([&] { return err(gw).find("listening on") != std::string::npos; }, WAIT_MS))
            << err(gw);
        srv = start({STREAM_SERVER_PATH, "--source-port", "1995", dir + "/radio"}, "server", false);
        EXPECT_TRUE(wait_until([&] { return count_of(status(), "\"on_air\":true") == 2; }, WAIT_MS))
            << status();
        return gw;
    }

    // SIGTERM ends the gateway with status 0 and its last line; in a
    // sanitizer build, status 0 also says that the sanitizer found nothing.
    void stop_gateway() {
        kill(gw->pid, SIGTERM);
        EXPECT_EQ(0, finish(gw, 5000)) << err(gw);
        EXPECT_TRUE(ends_with(err(gw), "stream_gateway: stopped\n")) << err(gw);
    }

    std::string status() { return output_of("curl -s --max-time 5 " + BASE + "/status.json"); }

    // curl's whole answer to a request: head and body, in one string.
    std::string answer(const std::string &args) {
        return output_of("curl -s -i --max-time 3 " + args + " 2>/dev/null");
    }

    // The programme of channel id, frame by frame.
    std::vector<std::string> prog(int id) { return programme({tones[id - 1]}); }

    // True when bytes are a run of whole frames of channel id, from a frame
    // header at their first byte, with none missing; *frames says how many.
    bool run_of(int id, const std::string &bytes, size_t *frames) {
        std::vector<found_frame> f = frames_of(bytes);
        return !f.empty() && f[0].offset == 0 &&
               find_run(whole_frames(bytes), prog(id), frames) >= 0;
    }

    std::vector<std::string> tones;
    child_proc *gw = nullptr;
    child_proc *srv = nullptr;
};

// What the gateway could never hear is refused at start, worded as the
// client words it, before HTTP is served; libevent's own words too carry
// the gateway's name.
TEST_F(GatewayE2e, GroupSenderOrInterfaceThatCannotBeHeardIsRefused) {
    REQUIRE_PRIVATE_NETNS();
    const std::string not_unicast = "\": not a unicast IPv4 address\n";
    const std::vector<std::vector<std::string>> rows = {
        {"-S", "224.2.2.2", "invalid source \"224.2.2.2" + not_unicast},
        {"-S", "0.0.0.0", "invalid source \"0.0.0.0" + not_unicast},
        {"-S", "255.255.255.255", "invalid source \"255.255.255.255" + not_unicast},
        {"-S", "240.0.0.1", "invalid source \"240.0.0.1" + not_unicast},
        {"-M", "10.1.2.3", "invalid multicast group \"10.1.2.3\": not an IPv4 multicast address\n"},
        {"-I", "nope",
         "unknown interface \"nope\": no interface has this name, index or address\n"},
        {"--listen", "999.1.1.1:8000", "[warn] getaddrinfo: "},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r[0] + " " + r[1]);
        child_proc *g = start({STREAM_GATEWAY_PATH, "--listen", "127.0.0.1:8000", r[0], r[1]},
                              "gateway", false);
        EXPECT_EQ(1, finish(g));
        EXPECT_NE(std::string::npos, err(g).find("stream_gateway: " + r[2])) << err(g);
        EXPECT_EQ(std::string::npos, err(g).find("listening")) << err(g);
        std::regex unnamed("(^|\n)(?!stream_gateway: |$)");
        EXPECT_FALSE(std::regex_search(err(g), unnamed)) << err(g);
    }
}

// Real players get the channel they ask for; the answers for Range,
// unknown paths, other methods, ICY and a channel that went off the air
// are as documented; the page, status and metrics are served, with the
// description escaped for each; titles come from the server's own
// now-playing datagrams, quoted for ICY, and from nowhere else.
TEST_F(GatewayE2e, PlayersGetTheirChannelAndEveryAnswerIsAsDocumented) {
    REQUIRE_PRIVATE_NETNS();
    REQUIRE_TOOL("/usr/bin/curl");
    REQUIRE_TOOL("/usr/bin/mpg123");
    radio();
    start_radio({});

    std::string ch2 = output_of("mpg123 -q -n 80 -s " + BASE + "/channels/2 2>/dev/null");
    EXPECT_NEAR(550, tone_hz(ch2), 50) << ch2.size() << " bytes decoded";
    std::string ch1 = dir + "/ch1.mp3";
    std::string head =
        output_of("curl -s -r 0- -D - -o " + ch1 + " --max-time 2 " + BASE + "/channels/1");
    EXPECT_NE(std::string::npos, head.find("HTTP/1.1 200 OK")) << head;
    EXPECT_NE(std::string::npos, head.find("Content-Type: audio/mpeg")) << head;
    EXPECT_NE(std::string::npos, head.find("icy-name: " + MARKUP_DESC)) << head;
    size_t frames = 0;
    EXPECT_TRUE(run_of(1, read_file(ch1), &frames));
    EXPECT_GT(frames, 70u) << "a second of burst and two live";
    EXPECT_NEAR(330, tone_hz(decoded_samples(ch1)), 50);
    // The stream is written past the HTTP library: it stays whole after an
    // answer on the same kept-alive connection, and unchunked for HTTP/1.0.
    std::string kept = dir + "/kept.mp3", old = dir + "/http10.mp3";
    output_of("curl -s -o /dev/null " + BASE + "/status.json -o " + kept + " --max-time 2 " + BASE +
              "/channels/1 & curl -s -0 -o " + old + " --max-time 2 " + BASE + "/channels/1; wait");
    for (const std::string &f : {kept, old}) {
        EXPECT_TRUE(run_of(1, read_file(f), &frames)) << f;
        EXPECT_GT(frames, 70u) << f;
    }

    for (const char *path : {"/channels/9", "/channels/01", "/nothing", "/favicon.ico"})
        EXPECT_EQ(0u, answer(BASE + path).find("HTTP/1.1 404 Not Found")) << path;
    std::string post = answer("-X POST " + BASE + "/");
    EXPECT_EQ(0u, post.find("HTTP/1.1 405")) << post;
    EXPECT_NE(std::string::npos, post.find("Allow: GET, HEAD")) << post;
    std::string page = answer(BASE + "/");
    EXPECT_NE(std::string::npos, page.find("Content-Type: text/html")) << page.substr(0, 300);
    EXPECT_NE(std::string::npos, page.find("status.json"));
    std::string metrics = answer(BASE + "/metrics");
    EXPECT_NE(std::string::npos,
              metrics.find("\nstream_gateway_channel_on_air{channel=\"2\"} 1\n"));
    EXPECT_NE(std::string::npos, metrics.find("\nstream_gateway_listeners 0\n")) << metrics;
    const std::string escaped = R"(low \"tone\" \\ <b>1</b> & more)";
    EXPECT_NE(std::string::npos,
              metrics.find("{channel=\"1\",description=\"" + escaped + "\"} 1\n"))
        << metrics;
    EXPECT_NE(std::string::npos, status().find("\"description\":\"" + escaped + "\"")) << status();

    // ICY: the title of the server's datagram, its quotes made U+2019. A
    // datagram from the server's address but another port is no title.
    const std::string title = "Miles - x\u2019;StreamUrl=\u2019http://elsewhere.invalid/\u2019;";
    EXPECT_TRUE(wait_until(
        [&] { return status().find("\"now_playing\":\"Miles - x';") != std::string::npos; },
        WAIT_MS))
        << status();
    EXPECT_NE(std::string::npos,
              status().find("\"codec\":\"mp3\",\"transcoded\":false,\"gain_db\":null"))
        << status();
    std::string icy = dir + "/icy.bin", icy_head = dir + "/icy.head";
    child_proc *c = start({"curl", "-s", "-H", "Icy-MetaData: 1", "-D", icy_head, "-o", icy,
                           "--max-time", "5", BASE + "/channels/1"},
                          "icy", false);
    ASSERT_TRUE(wait_until([&] { return read_file(icy).size() > ICY_METAINT + 100; }, WAIT_MS));
    std::smatch server;
    std::string st = status();
    ASSERT_TRUE(std::regex_search(st, server, std::regex("\"server\":\"([0-9.]+):1995\""))) << st;
    now_playing np;
    np.chnid = 1;
    np.title = "Spoofed";
    std::string d = now_playing_encode(np);
    ASSERT_TRUE(send_now(source(server[1].str().c_str(), 40002), d, 1990));
    EXPECT_EQ(28, finish(c)) << "curl ends at its --max-time";
    EXPECT_EQ(std::string::npos, status().find("Spoofed")) << status();
    EXPECT_NE(std::string::npos, read_file(icy_head).find("icy-metaint: 16000"));
    std::vector<std::string> titles;
    std::string audio = icy_audio(read_file(icy), &titles);
    std::vector<std::string> want = {"StreamTitle='" + title + "';"};
    EXPECT_EQ(want, titles);
    EXPECT_TRUE(run_of(1, audio, &frames)) << "the audio between the blocks is whole";

    // The server goes: after 5 s its channels are off the air.
    proc_kill(srv);
    EXPECT_TRUE(wait_until([&] { return answer(BASE + "/channels/2").find("HTTP/1.1 503") == 0; },
                           WAIT_MS));
    EXPECT_NE(std::string::npos, answer(BASE + "/channels/2").find("channel 2 is off the air"));
    stop_gateway();
}

// A TCP connection to the gateway from the address from that sent head and
// reads nothing; its receive buffer is small, so the gateway's side fills
// soon. -1 on failure.
int stalled_request(const std::string &head, const char *from = "127.0.0.1") {
    int sd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int small = 4096;
    setsockopt(sd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    inet_pton(AF_INET, from, &a.sin_addr);
    int bound = bind(sd, reinterpret_cast<sockaddr *>(&a), sizeof a);
    a.sin_port = htons(8000);
    inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
    if (bound < 0 || connect(sd, reinterpret_cast<sockaddr *>(&a), sizeof a) < 0 ||
        send(sd, head.data(), head.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(head.size())) {
        close(sd);
        return -1;
    }
    return sd;
}

// True once the peer closed sd (after whatever it sent).
bool closed_by_peer(int sd) {
    char buf[4096];
    ssize_t n;
    while ((n = recv(sd, buf, sizeof buf, MSG_DONTWAIT)) > 0) {
    }
    return n == 0 || (n < 0 && errno == ECONNRESET);
}

// The CPU time pid has used, in seconds.
double cpu_seconds(pid_t pid) {
    std::string st = read_file("/proc/" + std::to_string(pid) + "/stat");
    std::istringstream f(st.substr(st.rfind(')') + 2));
    std::string field;
    long long ticks = 0;
    for (int i = 3; i <= 15 && f >> field; i++)
        if (i >= 14) ticks += std::stoll(field);  // utime, stime
    return static_cast<double>(ticks) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

int resident_kib(pid_t pid) {
    std::string s = read_file("/proc/" + std::to_string(pid) + "/status");
    size_t at = s.find("VmRSS:");
    return at == std::string::npos ? -1 : atoi(s.c_str() + at + 6);
}

// A listener that stops reading is dropped by the lag rule (2 s here)
// while 19 others on its channel lose nothing and the gateway's memory
// stays put; past --listeners the answer is 503; when the listeners go,
// their count goes back to 0. Heads that are too large or come too slowly
// are cut off.
TEST_F(GatewayE2e, StalledListenerIsDroppedWhileManyOthersLoseNothing) {
    REQUIRE_PRIVATE_NETNS();
    REQUIRE_TOOL("/usr/bin/curl");
    radio();
    start_radio({"--lag", "2", "--listeners", "20"});
    [[maybe_unused]] int rss_before = resident_kib(gw->pid);
    int stalled = stalled_request("GET /channels/1 HTTP/1.1\r\nHost: x\r\n\r\n");
    ASSERT_GE(stalled, 0);
    fds.push_back(stalled);
    std::vector<child_proc *> curls;
    for (int i = 0; i < 20; i++) {
        std::string out = dir + "/l" + std::to_string(i) + ".mp3";
        curls.push_back(start({"curl", "-s", "-o", out, "--max-time", "8", BASE + "/channels/1"},
                              "l" + std::to_string(i), false));
        if (i == 18) {  // 19 and the stalled one: the limit is reached until it goes
            ASSERT_TRUE(wait_until(
                [&] {
                    return answer(BASE + "/metrics").find("dropped_lagging_total 1\n") !=
                           std::string::npos;
                },
                WAIT_MS));
        }
    }
    ASSERT_TRUE(wait_until([&] { return status().find("\"listeners\":20,") != std::string::npos; },
                           WAIT_MS))
        << status();
    std::string refused = answer(BASE + "/channels/2");
    EXPECT_EQ(0u, refused.find("HTTP/1.1 503")) << refused;
    EXPECT_NE(std::string::npos, refused.find("too many listeners"));
    std::string metrics = answer(BASE + "/metrics");
    EXPECT_NE(std::string::npos, metrics.find("\nstream_gateway_dropped_lagging_total 1\n"))
        << "only the stalled one";
    EXPECT_NE(std::string::npos, metrics.find("\nstream_gateway_refused_full_total 1\n"));

    for (int i = 0; i < 20; i++) {
        std::string out = dir + "/l" + std::to_string(i) + ".mp3";
        EXPECT_EQ(28, finish(curls[static_cast<size_t>(i)])) << "curl ends at its --max-time";
        size_t frames = 0;
        EXPECT_TRUE(run_of(1, read_file(out), &frames)) << out;
        EXPECT_GT(frames, 150u) << out;
    }
    int big = stalled_request("GET / HTTP/1.1\r\nX: " + std::string(20000, 'x') + "\r\n\r\n");
    int slow = stalled_request("GET / HTTP/1.1\r\n");
    fds.push_back(big);
    fds.push_back(slow);
    EXPECT_TRUE(wait_until([&] { return closed_by_peer(big); }, WAIT_MS));
    // A header line every 300 ms: never idle, and never whole.
    EXPECT_TRUE(wait_until(
        [&] {
            ::send(slow, "X: y\r\n", 6, MSG_NOSIGNAL);
            usleep(300 * 1000);
            return closed_by_peer(slow);
        },
        WAIT_MS));
    EXPECT_TRUE(wait_until([&] { return status().find("\"listeners\":0,") != std::string::npos; },
                           WAIT_MS));
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    // (The sanitizers keep freed memory aside: their sizes tell nothing.)
    EXPECT_LT(resident_kib(gw->pid) - rss_before, 8 * 1024);
#endif
    stop_gateway();
}

// The README's location of the gateway under /radio/, with extra lines in
// it.
std::string radio_location(const std::string &extra = "") {
    return "    location /radio/ {\n"
           "      proxy_pass http://127.0.0.1:8000/;\n"
           "      proxy_http_version 1.1;\n"
           "      proxy_set_header Connection \"\";\n"
           "      proxy_buffering off;\n"
           "      proxy_read_timeout 1h;\n" +
           extra + "    }\n";
}

// nginx from Debian in front of the gateway under /radio/, as the README
// shows it (server: its server block, and what else goes in the http
// block); written into dir, run in the foreground by the test.
std::string nginx_conf(const std::string &dir, const std::string &server = "") {
    return "daemon off; master_process off; pid " + dir +
           "/nginx.pid;\n"
           "error_log " +
           dir +
           "/nginx.log warn;\n"
           "events { worker_connections 64; }\n"
           "http {\n"
           "  access_log off;\n"
           "  client_body_temp_path " +
           dir + "; proxy_temp_path " + dir +
           ";\n"
           "  fastcgi_temp_path " +
           dir + "; uwsgi_temp_path " + dir + "; scgi_temp_path " + dir + ";\n" +
           (!server.empty() ? server
                            : "  server {\n"
                              "    listen 127.0.0.1:8080;\n" +
                                  radio_location() + "  }\n") +
           "}\n";
}

// The README's nginx as the TLS end and HLS cache, on 127.0.0.1:8443 with
// the certificate and key in dir and the cache under it.
std::string nginx_tls_cache(const std::string &dir) {
    return "  proxy_cache_path " + dir +
           "/cache keys_zone=radio:10m max_size=256m inactive=10m;\n"
           "  server {\n"
           "    listen 127.0.0.1:8443 ssl;\n"
           "    ssl_certificate " +
           dir +
           "/cert.pem;\n"
           "    ssl_certificate_key " +
           dir + "/key.pem;\n" +
           radio_location(
               "      proxy_set_header X-Forwarded-Proto $scheme;\n"
               "      proxy_set_header X-Forwarded-Host $http_host;\n"
               "      proxy_set_header X-Forwarded-Prefix /radio;\n") +
           "    location ~ ^/radio/(channels/[0-9]+/[^/]+\\.(m3u8|mp3))$ {\n"
           "      proxy_pass http://127.0.0.1:8000/$1;\n"
           "      proxy_http_version 1.1;\n"
           "      proxy_set_header Connection \"\";\n"
           "      proxy_cache radio;\n"
           "      proxy_cache_lock on;\n"
           "      proxy_cache_use_stale updating;\n"
           "      proxy_cache_revalidate on;\n"
           "      add_header X-Cache-Status $upstream_cache_status;\n"
           "    }\n"
           "  }\n";
}

// True when a and b are two runs of one stream that overlap: the one that
// starts later begins inside the other, and they agree from there on.
bool same_stream(const std::string &a, const std::string &b) {
    for (const auto &[early, late] : {std::pair{&a, &b}, std::pair{&b, &a}}) {
        size_t at = early->find(late->substr(0, 4096));
        if (late->size() < 4096 || at == std::string::npos) continue;
        size_t n = std::min(early->size() - at, late->size());
        return n > 16000 && early->compare(at, n, *late, 0, n) == 0;
    }
    return false;
}

// Through nginx a listener gets the same bytes as one direct; the page,
// loaded in headless Chromium straight from the gateway and through nginx,
// shows both channels and plays one, with nothing in the console.
TEST_F(GatewayE2e, ThroughNginxAndInChromiumThePageAndTheStreamWork) {
    REQUIRE_PRIVATE_NETNS();
    REQUIRE_TOOL("/usr/bin/curl");
    REQUIRE_TOOL("/usr/sbin/nginx");
    REQUIRE_TOOL("/usr/bin/chromium");
    REQUIRE_TOOL("/usr/bin/chromedriver");
    if (run_shell("/usr/bin/python3 -c 'import selenium' 2>/dev/null") != 0) {
        if (running_in_ci()) FAIL() << "python3-selenium is missing";
        GTEST_SKIP() << "python3-selenium is missing (tools/ensure-deps test)";
    }
    radio();
    start_radio({"--trust-proxy=127.0.0.1"});  // nginx
    ASSERT_TRUE(write_file(dir + "/nginx.conf", nginx_conf(dir)));
    child_proc *nginx = start(
        {"/usr/sbin/nginx", "-e", dir + "/nginx.log", "-c", dir + "/nginx.conf"}, "nginx", false);
    ASSERT_TRUE(wait_until(
        [&] { return answer("http://127.0.0.1:8080/radio/").find("200 OK") != std::string::npos; },
        WAIT_MS))
        << read_file(dir + "/nginx.log");

    std::string direct = dir + "/direct.mp3", proxied = dir + "/proxied.mp3";
    child_proc *d = start({"curl", "-s", "-o", direct, "--max-time", "4", BASE + "/channels/2"},
                          "direct", false);
    child_proc *p = start(
        {"curl", "-s", "-o", proxied, "--max-time", "4", "http://127.0.0.1:8080/radio/channels/2"},
        "proxied", false);
    EXPECT_EQ(28, finish(d));
    EXPECT_EQ(28, finish(p));
    size_t frames = 0;
    EXPECT_TRUE(run_of(2, read_file(proxied), &frames));
    EXPECT_TRUE(same_stream(read_file(direct), read_file(proxied)))
        << read_file(direct).size() << " and " << read_file(proxied).size() << " bytes";

    for (const std::string &url : {BASE + "/", std::string("http://127.0.0.1:8080/radio/")}) {
        std::string shown = output_of("/usr/bin/python3 " PAGE_CHECK " " + url + " 2 2>&1");
        // The description as text: quotes, backslash, markup and all.
        EXPECT_NE(std::string::npos,
                  shown.find(R"(["1", "low \"tone\" \\ <b>1</b> & more", "on air")"))
            << url << shown;
        EXPECT_NE(std::string::npos, shown.find("[\"2\", \"high tone\", \"on air\""))
            << url << shown;
        EXPECT_NE(std::string::npos, shown.find("\"errors\": []")) << url << shown;
        EXPECT_NE(std::string::npos, shown.find("\"phone_overflow\": false")) << url << shown;
        EXPECT_NE(std::string::npos, shown.find("\"focused\": true")) << url << shown;
        // Chromium has Media Source: the progressive stream, not HLS.
        EXPECT_NE(std::string::npos,
                  shown.find("\"src\": \"channels/2\", \"via\": \"progressive\""))
            << url << shown;
        std::smatch m;
        ASSERT_TRUE(std::regex_search(shown, m, std::regex("\"played_s\": ([0-9.]+)"))) << shown;
        EXPECT_GT(std::stod(m[1].str()), 1.0) << url << " the audio element's time advanced";
    }
    proc_kill(nginx);
    stop_gateway();
}

// Sends requests on one connection to the gateway as fast as it takes
// them and reads what comes, until it holds `answers` status lines, the
// gateway closes, or ms pass. What came.
std::string pipelined(const std::string &requests, size_t answers, int ms) {
    int sd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(8000);
    inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
    std::string got;
    if (connect(sd, reinterpret_cast<sockaddr *>(&a), sizeof a) < 0) {
        close(sd);
        return got;
    }
    size_t sent = 0;
    long long end = now_ns() + ms * 1'000'000LL;
    while (count_of(got, "HTTP/1.1 ") < answers && now_ns() < end) {
        pollfd p = {sd, static_cast<short>(POLLIN | (sent < requests.size() ? POLLOUT : 0)), 0};
        if (poll(&p, 1, 100) <= 0) continue;
        char buf[65536];
        ssize_t n = p.revents & POLLIN ? recv(sd, buf, sizeof buf, 0) : 0;
        if ((p.revents & POLLIN) && n <= 0) break;
        if (n > 0) got.append(buf, static_cast<size_t>(n));
        if (p.revents & POLLOUT) {
            n = send(sd, requests.data() + sent, requests.size() - sent,
                     MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) sent += static_cast<size_t>(n);
        }
    }
    close(sd);
    return got;
}

// The status codes of the answers in what came, in order.
std::string codes_of(const std::string &got) {
    std::string codes;
    for (size_t at = got.find("HTTP/1.1 "); at != std::string::npos;
         at = got.find("HTTP/1.1 ", at + 1))
        codes += got.substr(at + 9, 3) + " ";
    return codes;
}

size_t open_fds(pid_t pid) {
    return static_cast<size_t>(
        std::distance(std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd"),
                      std::filesystem::directory_iterator()));
}

// HEAD answers headers alone on every path, a live channel's and errors
// too: the answer to a GET pipelined behind it comes right after them, and
// nothing after that. At SIGTERM a listener's stream ends with the last
// chunk (curl ends with 0, not 18 for a cut stream).
TEST_F(GatewayE2e, HeadAnswersHeadersAloneAndSigtermEndsStreamsWhole) {
    REQUIRE_PRIVATE_NETNS();
    REQUIRE_TOOL("/usr/bin/curl");
    radio();
    start_radio({});
    const std::pair<const char *, const char *> rows[] = {
        {"/", "200 OK"},
        {"/status.json", "200 OK"},
        {"/metrics", "200 OK"},
        {"/channels/1", "200 OK"},
        {"/channels/9", "404 Not Found"},
        {"/nothing", "404 Not Found"},
        {"/channels/1/live.m3u8", "200 OK"},
        {"/channels/1/1-1.mp3", "404 Not Found"},
    };
    ASSERT_TRUE(wait_until(  // the first segment is made
        [&] { return answer(BASE + "/channels/1/live.m3u8").find("200 OK") != std::string::npos; },
        WAIT_MS));
    for (const auto &[path, status] : rows) {
        SCOPED_TRACE(path);
        std::string got = pipelined(std::string("HEAD ") + path +
                                        " HTTP/1.1\r\nHost: x\r\n\r\nGET /nothing HTTP/1.1\r\n"
                                        "Host: x\r\n\r\n",
                                    3, 1500);
        EXPECT_EQ(0u, got.find(std::string("HTTP/1.1 ") + status)) << got;
        size_t end = got.find("\r\n\r\n");
        ASSERT_NE(std::string::npos, end) << got;
        std::string rest = got.substr(end + 4);
        EXPECT_EQ(0u, rest.find("HTTP/1.1 404 Not Found")) << got;
        EXPECT_TRUE(ends_with(rest, "\r\n\r\nno such page\n")) << got;
    }

    std::string heard = dir + "/to_the_end.mp3";
    child_proc *c = start({"curl", "-s", "-o", heard, "--max-time", "20", BASE + "/channels/2"},
                          "to_the_end", false);
    ASSERT_TRUE(wait_until([&] { return read_file(heard).size() > 20000; }, WAIT_MS));
    stop_gateway();
    EXPECT_EQ(0, finish(c)) << "curl saw the end of the chunked stream";
    size_t frames = 0;
    EXPECT_TRUE(run_of(2, read_file(heard), &frames));
}

// Datagrams that cut the frames anywhere: a new listener's first byte is
// still a frame header, and what it gets is a run of whole frames.
TEST_F(GatewayE2e, NewListenerStartsOnAFrameHeaderWhereverDatagramsCutTheFrames) {
    REQUIRE_PRIVATE_NETNS();
    REQUIRE_TOOL("/usr/bin/curl");
    radio();
    gw = start({STREAM_GATEWAY_PATH, "--listen", "127.0.0.1:8000", "--burst", "300"}, "gateway",
               false);
    ASSERT_TRUE(
        wait_until([&] { return err(gw).find("listening on") != std::string::npos; }, WAIT_MS));
    int sd = source("127.0.0.1", 40001);
    bytes list = list_of({entry(1, "cut")});
    ASSERT_TRUE(send_now(sd, std::string(list.begin(), list.end())));
    std::string file = file_bytes(tones[0]);
    std::string stream = cut_frames(file, frames_of(file));
    for (size_t at = 0; at < stream.size(); at += 1001) {
        bytes d = data_msg(1, stream.substr(at, 1001));
        ASSERT_TRUE(send_now(sd, std::string(d.begin(), d.end())));
        usleep(5000);  // one datagram a drain: each its own chunk
    }
    std::string got = output_of("curl -s --max-time 1 " + BASE + "/channels/1");
    size_t frames = 0;
    EXPECT_TRUE(run_of(1, got, &frames)) << got.size() << " bytes";
    EXPECT_GE(frames, 11u) << "300 ms of frames";
    stop_gateway();
}

// What one connection reads ahead is bounded: 100 connections that pipeline
// requests and never read the answers leave the gateway's memory within
// 64 MiB, while 1000 pipelined requests that are read get 1000 answers in
// order. 2000 connections that come and go leave no descriptor behind a
// second later, and a kept-alive connection whose next request comes a
// byte every 2 s is cut off at its deadline.
TEST_F(GatewayE2e, PipelinedFloodsAndChurnLeaveMemoryAndDescriptorsBounded) {
    REQUIRE_PRIVATE_NETNS();
    gw = start({STREAM_GATEWAY_PATH, "--listen", "127.0.0.1:8000", "--each-address", "0"},
               "gateway", false);
    ASSERT_TRUE(
        wait_until([&] { return err(gw).find("listening on") != std::string::npos; }, WAIT_MS));
    size_t fds_before = open_fds(gw->pid);
    [[maybe_unused]] int rss_before = resident_kib(gw->pid);
    std::string batch;
    for (int i = 0; i < 200; i++) batch += "GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n";
    std::vector<int> floods;
    for (int i = 0; i < 100; i++) {
        floods.push_back(stalled_request(batch));
        ASSERT_GE(floods.back(), 0);
        fds.push_back(floods.back());
    }
    long long end = now_ns() + 3'000'000'000LL;
    while (now_ns() < end)
        for (int sd : floods) ::send(sd, batch.data(), batch.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    EXPECT_LT(resident_kib(gw->pid) - rss_before, 64 * 1024);
#endif
    std::string in_order, want;
    for (int i = 0; i < 1000; i++) {
        in_order += i % 3 ? "GET /status.json HTTP/1.1\r\nHost: x\r\n\r\n"
                          : "GET /nothing HTTP/1.1\r\nHost: x\r\n\r\n";
        want += i % 3 ? "200 " : "404 ";
    }
    EXPECT_EQ(want, codes_of(pipelined(in_order, 1000, WAIT_MS)));

    for (int sd : floods) close(sd);
    fds.resize(fds.size() - floods.size());
    for (int i = 0; i < 2000; i++) close(stalled_request(""));
    EXPECT_TRUE(wait_until([&] { return open_fds(gw->pid) == fds_before; }, 1000))
        << open_fds(gw->pid) << " descriptors open, " << fds_before << " before";

    int slow = stalled_request("GET /nothing HTTP/1.1\r\nHost: x\r\n\r\n");
    fds.push_back(slow);
    long long answered = now_ns(), last = 0;
    EXPECT_TRUE(wait_until(
        [&] {
            if (now_ns() - last >= 2'000'000'000LL) ::send(slow, "G", 1, MSG_NOSIGNAL);
            last = now_ns() - last >= 2'000'000'000LL ? now_ns() : last;
            return closed_by_peer(slow);
        },
        15000));
    EXPECT_GT(now_ns() - answered, 9'000'000'000LL) << "not before the deadline";
    stop_gateway();
}

// Under an open-files limit of 128, or at --connections 20, 300
// connections that wait idle make the gateway pause accepting: a few
// prefixed lines, little CPU, never a line per attempt; once they leave,
// /status.json is answered.
TEST_F(GatewayE2e, AtTheLimitsAcceptingPausesQuietlyAndComesBack) {
    REQUIRE_PRIVATE_NETNS();
    REQUIRE_TOOL("/usr/bin/curl");
    REQUIRE_TOOL("/usr/bin/prlimit");
    struct {
        std::vector<std::string> argv;
        const char *why;
    } rows[] = {
        {{"/usr/bin/prlimit", "--nofile=128:128", STREAM_GATEWAY_PATH},
         "accepting paused: accept(): Too many open files\n"},
        {{STREAM_GATEWAY_PATH, "--connections", "20"},
         "accepting paused: 20 connections are open, the most allowed (--connections)\n"},
    };
    for (auto &r : rows) {
        SCOPED_TRACE(r.why);
        r.argv.insert(r.argv.end(), {"--listen", "127.0.0.1:8000", "--each-address", "0"});
        gw = start(r.argv, "gateway" + std::to_string(procs.size()), false);
        ASSERT_TRUE(
            wait_until([&] { return err(gw).find("listening on") != std::string::npos; }, WAIT_MS));
        std::vector<int> idle;
        for (int i = 0; i < 300; i++) {
            int sd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_port = htons(8000);
            inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
            connect(sd, reinterpret_cast<sockaddr *>(&a), sizeof a);
            idle.push_back(sd);
        }
        ASSERT_TRUE(wait_until([&] { return err(gw).find(r.why) != std::string::npos; }, WAIT_MS))
            << err(gw);
        double cpu_before = cpu_seconds(gw->pid);
        usleep(2'000'000);  // a window in which a spinning loop would show
        EXPECT_LT(cpu_seconds(gw->pid) - cpu_before, 0.3);
        for (int sd : idle) close(sd);
        EXPECT_TRUE(
            wait_until([&] { return status().find("\"server\":") != std::string::npos; }, 3000));
        std::string e = err(gw);
        EXPECT_LE(count_of(e, "\n"), 8u) << e;
        EXPECT_EQ(count_of(e, "\n"), count_of(e, "stream_gateway: ")) << e;
        EXPECT_NE(std::string::npos, e.find("accepting again")) << e;
        stop_gateway();
    }
}

// How many frames of prog (one cycle of an endless programme) the whole
// frames of bytes skip, taken in order from the first; -1 when a frame is
// none of prog's. The programme's frames must all differ (noise does).
long frames_skipped(const std::string &bytes, const std::vector<std::string> &prog) {
    std::vector<found_frame> f = frames_of(bytes);
    size_t at = prog.size();  // prog's index of the frame before
    long skipped = 0;
    for (size_t i = 0; i < f.size(); i++) {
        std::string frame = bytes.substr(f[i].offset, static_cast<size_t>(f[i].h.size));
        size_t step = 1;
        while (step <= prog.size() && prog[(at + step) % prog.size()] != frame) step++;
        if (step > prog.size()) return -1;
        if (i > 0) skipped += static_cast<long>(step - 1);
        at = (at + step) % prog.size();
    }
    return f.empty() ? -1 : skipped;
}

// Two gateways behind one hop that loses datagrams (nftables in this
// namespace, on the gateways' side of a veth pair to the server's host)
// lose the same datagrams: channel 1 loses 5 % at random, channel 2 eight
// in a row of every 100 of its own (data and repair alike). A listener of
// the gateway with --repair gets channel 2 whole and at most a tenth of
// the gaps that channel 1 has without it; its status counts the datagrams
// it rebuilt, the other's has no such field, and SIGTERM ends it cleanly.
TEST_F(GatewayE2e, WithRepairListenersBehindALossyHopGetTheChannelWhole) {
    REQUIRE_PRIVATE_NETNS();
    REQUIRE_TOOL("/usr/bin/curl");
    REQUIRE_TOOL("/usr/sbin/nft");
    const std::string noise[] = {
        made_mp3(TEST_AUDIO_DIR, "gw_noise_white", 44100, 2, "synth 6 whitenoise vol 0.3",
                 "-b 128"),
        made_mp3(TEST_AUDIO_DIR, "gw_noise_pink", 44100, 2, "synth 5 pinknoise vol 0.3", "-b 128")};
    for (int id = 1; id <= 2; id++) {
        ASSERT_NE("", noise[id - 1]) << "sox and lame could not make the noise";
        std::string d = dir + "/radio/" + std::to_string(id);
        ASSERT_EQ(0, run_shell("mkdir -p '" + d + "' && cp '" + noise[id - 1] + "' '" + d + "'"));
    }
    ASSERT_EQ("", netns_peer_start(&peer, "enp0s3", "10.201.8.1/24", "veth0", "10.201.8.2/24"));
    const std::string rule = "add rule inet lossy in iifname enp0s3 udp dport { 1989, 1991 } ";
    ASSERT_EQ(0, run_shell("nft 'add table inet lossy' && nft 'add chain inet lossy in "
                           "{ type filter hook prerouting priority 0; }' && nft '" +
                           rule + "@th,64,8 1 numgen random mod 1000 < 50 drop' && nft '" + rule +
                           "@th,64,8 2 numgen inc mod 100 < 8 drop'"));
    const std::string plain = "http://127.0.0.1:8000", repair = "http://127.0.0.1:8001";
    for (int r = 0; r < 2; r++) {
        std::vector<std::string> argv = {STREAM_GATEWAY_PATH, "--listen",
                                         r ? "127.0.0.1:8001" : "127.0.0.1:8000"};
        if (r) argv.push_back("--repair");
        gw = start(argv, "gateway" + std::to_string(r), false);
        ASSERT_TRUE(
            wait_until([&] { return err(gw).find("listening on") != std::string::npos; }, WAIT_MS));
    }
    std::vector<std::string> server = netns_peer_prefix(peer);
    server.insert(server.end(), {STREAM_SERVER_PATH, dir + "/radio"});
    srv = start(server, "server", false);
    for (const std::string &base : {plain, repair})
        ASSERT_TRUE(wait_until(
            [&] {
                return count_of(output_of("curl -s " + base + "/status.json"), "\"on_air\":true") ==
                       2;
            },
            WAIT_MS));

    std::vector<child_proc *> curls;
    for (const std::string &base : {plain, repair})
        for (const char *ch : {"1", "2"})
            curls.push_back(start({"curl", "-s", "--max-time", "20", "-o",
                                   dir + "/" + base.substr(base.size() - 1) + "-" + ch + ".mp3",
                                   base + "/channels/" + ch},
                                  "curl" + std::to_string(curls.size()), false));
    for (child_proc *c : curls) finish(c, 30000);
    long skipped[2][2];  // [repair][channel - 1]
    for (int r = 0; r < 2; r++)
        for (int ch = 1; ch <= 2; ch++) {
            std::string got =
                read_file(dir + "/" + (r ? "1" : "0") + "-" + std::to_string(ch) + ".mp3");
            skipped[r][ch - 1] = frames_skipped(got, programme({noise[ch - 1]}));
            EXPECT_GT(got.size(), 200000u) << r << " " << ch;
        }
    SCOPED_TRACE("frames skipped without repair " + std::to_string(skipped[0][0]) + " and " +
                 std::to_string(skipped[0][1]) + ", with " + std::to_string(skipped[1][0]) +
                 " and " + std::to_string(skipped[1][1]));
    EXPECT_GT(skipped[0][0], 0) << "5 % lost without repair";
    EXPECT_GT(skipped[0][1], 0) << "bursts lost without repair";
    EXPECT_GE(skipped[1][0], 0);
    EXPECT_LE(skipped[1][0] * 10, skipped[0][0]) << "5 % lost with repair";
    EXPECT_EQ(0, skipped[1][1]) << "bursts lost with repair";
    std::string with = output_of("curl -s " + repair + "/status.json");
    EXPECT_TRUE(std::regex_search(
        with, std::regex("\"number\":2,[^}]*\"rebuilt\":[1-9][0-9]*,\"lost\":0,")))
        << with;
    EXPECT_EQ(std::string::npos, output_of("curl -s " + plain + "/status.json").find("rebuilt"));
    stop_gateway();  // the one with --repair
}

// The segments' names in an HLS playlist, in order.
std::vector<std::string> segment_names(const std::string &playlist) {
    std::vector<std::string> names;
    std::istringstream in(playlist);
    for (std::string line; std::getline(in, line);)
        if (ends_with(line, ".mp3")) names.push_back(line);
    return names;
}

// A segment's audio: what follows its ID3 tag.
std::string without_tag(const std::string &segment) {
    if (segment.size() < 10 || segment.compare(0, 3, "ID3") != 0) return "";
    auto b = [&](int i) { return static_cast<size_t>(static_cast<uint8_t>(segment[i])); };
    return segment.substr(
        std::min(segment.size(), 10 + (b(6) << 21 | b(7) << 14 | b(8) << 7 | b(9))));
}

// ffmpeg's standard error, less its word that the ID3 title changed from
// one segment to the next: a feature it lacks, not a fault of the stream.
std::string ffmpeg_said(const std::string &err) {
    return std::regex_replace(err, std::regex("[^\n]*Changing ID3 metadata[^\n]*\n"), "");
}

// ffmpeg decodes 20 s of the live playlist and says nothing. (Decoded to
// WAV: its HLS reader dates a segment by its tag as soon as it reads into
// it, while its MP3 parser still holds the last frames of the segment
// before, so at some boundaries a timestamp repeats; the null output
// reports that as an error, a file output mends it in silence.) The
// segments of the window, tags stripped, are the channel's frames, each
// once and in order, as a progressive listener of the channel got them;
// the playlist's fields and both answers' caching headers are as
// documented, and a tag they sent comes back as 304.
TEST_F(GatewayE2e, HlsFfmpegDecodesItAndTheSegmentsAreTheChannelsFrames) {
    REQUIRE_PRIVATE_NETNS();
    REQUIRE_TOOL("/usr/bin/curl");
    REQUIRE_TOOL("/usr/bin/ffmpeg");
    radio();
    start_radio({});
    std::string heard = dir + "/progressive.mp3", list_url = BASE + "/channels/1/live.m3u8";
    child_proc *c = start({"curl", "-s", "-o", heard, "--max-time", "90", BASE + "/channels/1"},
                          "progressive", false);
    ASSERT_TRUE(wait_until(
        [&] { return segment_names(output_of("curl -s " + list_url)).size() >= 3; }, WAIT_MS));
    child_proc *f = start({"ffmpeg", "-nostdin", "-v", "error", "-i", list_url, "-t", "20", "-f",
                           "wav", "-y", "/dev/null"},
                          "ffmpeg", false);
    EXPECT_EQ(0, finish(f, 60000));
    EXPECT_EQ("", ffmpeg_said(err(f)));

    std::string list = answer(list_url);
    std::vector<std::string> names = segment_names(list);
    ASSERT_GE(names.size(), 5u) << list;
    std::string audio, segment, seg_url = BASE + "/channels/1/" + names.back();
    for (const std::string &n : names) {
        segment = output_of("curl -s " + BASE + "/channels/1/" + n);
        EXPECT_NE(std::string::npos, segment.find("com.apple.streaming.transportStreamTimestamp"));
        audio += without_tag(segment);
    }
    EXPECT_NE(std::string::npos, segment.find("TIT2")) << "the title";
    EXPECT_NE(std::string::npos, segment.find("Miles - x")) << "the title";
    usleep(1500 * 1000);  // the progressive listener's last write
    proc_kill(c);
    size_t frames = 0;
    EXPECT_TRUE(run_of(1, audio, &frames));
    EXPECT_GE(frames, 5 * 150u) << "five segments of 4 s";
    EXPECT_NE(std::string::npos, read_file(heard).find(audio)) << "as the progressive listener";

    std::smatch tag;
    std::string seg_head = answer("-I " + seg_url);
    for (const char *want :
         {"HTTP/1.1 200 OK", "Content-Type: application/vnd.apple.mpegurl",
          "Cache-Control: public, max-age=2\r\n", "#EXTM3U\n#EXT-X-VERSION:3\n",
          "#EXT-X-TARGETDURATION:4\n#EXT-X-MEDIA-SEQUENCE:", "#EXT-X-DISCONTINUITY-SEQUENCE:0\n",
          "\n#EXT-X-PROGRAM-DATE-TIME:20", "\n#EXTINF:4.0"})
        EXPECT_NE(std::string::npos, list.find(want)) << want << " in " << list;
    for (const char *want : {"HTTP/1.1 200 OK", "Content-Type: audio/mpeg",
                             "Cache-Control: public, max-age=31536000, immutable\r\n"})
        EXPECT_NE(std::string::npos, seg_head.find(want)) << want << " in " << seg_head;
    for (const auto &[head, url] : {std::pair{list, list_url}, std::pair{seg_head, seg_url}}) {
        ASSERT_TRUE(std::regex_search(head, tag, std::regex("ETag: (\"[^\"]+\")"))) << head;
        std::string again = answer("-H 'If-None-Match: " + tag[1].str() + "' " + url);
        EXPECT_EQ(0u, again.find("HTTP/1.1 304 Not Modified")) << again;
    }
    EXPECT_NE(std::string::npos, status().find("\"hls\":\"channels/1/live.m3u8\"")) << status();
    stop_gateway();
}

// A new server breaks the stream: a discontinuity in the playlist; a
// segment that left the window is 404. The gateway started again names
// no segment as before, and its media sequence goes on upwards.
TEST_F(GatewayE2e, HlsANewServerIsADiscontinuityAndNoNameComesAgain) {
    REQUIRE_PRIVATE_NETNS();
    REQUIRE_TOOL("/usr/bin/curl");
    radio();
    start_radio({"--segment", "2"});
    std::string list_url = BASE + "/channels/2/live.m3u8", list;
    std::set<std::string> seen;
    auto poll = [&] {
        list = output_of("curl -s " + list_url);
        for (const std::string &n : segment_names(list)) seen.insert(n);
        return list;
    };
    ASSERT_TRUE(wait_until([&] { return segment_names(poll()).size() >= 2; }, WAIT_MS));
    std::string first = segment_names(list)[0];
    // A segment is found by its own name alone; a playlist asked with a
    // query is answered, for no cache to keep.
    size_t dash = first.find('-') + 1;
    for (const std::string &other : {first + "?x", std::string(first).insert(dash, "0")})
        EXPECT_EQ(0u, answer("'" + BASE + "/channels/2/" + other + "'").find("HTTP/1.1 404"));
    std::string queried = answer("'" + list_url + "?x=1'");
    EXPECT_EQ(0u, queried.find("HTTP/1.1 200")) << queried;
    EXPECT_NE(std::string::npos, queried.find("Cache-Control: no-store\r\n")) << queried;
    proc_kill(srv);
    srv = start({STREAM_SERVER_PATH, "--source-port", "1996", dir + "/radio"}, "server2", false);
    EXPECT_TRUE(wait_until(
        [&] {
            return poll().find("#EXT-X-DISCONTINUITY\n#EXT-X-PROGRAM-DATE-TIME:") !=
                   std::string::npos;
        },
        WAIT_MS))
        << list;
    EXPECT_TRUE(wait_until(
        [&] { return answer(BASE + "/channels/2/" + first).find("HTTP/1.1 404") == 0; }, 40000))
        << first << " left the window\n"
        << poll();
    std::smatch m;
    poll();
    ASSERT_TRUE(std::regex_search(list, m, std::regex("MEDIA-SEQUENCE:([0-9]+)")));
    uint64_t before = std::stoull(m[1].str()) + segment_names(list).size();
    stop_gateway();
    gw = start({STREAM_GATEWAY_PATH, "--listen", "127.0.0.1:8000", "--segment", "2"}, "gateway2",
               false);
    ASSERT_TRUE(wait_until([&] { return !segment_names(output_of("curl -s " + list_url)).empty(); },
                           WAIT_MS));
    list = output_of("curl -s " + list_url);
    for (const std::string &n : segment_names(list)) EXPECT_EQ(0u, seen.count(n)) << n;
    ASSERT_TRUE(std::regex_search(list, m, std::regex("MEDIA-SEQUENCE:([0-9]+)")));
    EXPECT_GE(std::stoull(m[1].str()), before) << list;
    stop_gateway();
}

// The value of a counter or gauge in the gateway's /metrics.
long long metric(const std::string &name) {
    std::string all = output_of("curl -s --max-time 3 " + BASE + "/metrics");
    size_t at = all.find("\n" + name + " ");
    return at == std::string::npos ? -1 : atoll(all.c_str() + at + name.size() + 2);
}

// nginx as the README shows it, the TLS end and HLS cache, with a
// certificate that openssl makes here: the page, the progressive stream,
// the playlists (with https addresses) and HLS, all over https (curl
// checks the certificate); a segment's second fetch never reaches the
// gateway, nor a playlist's within its half segment; ffmpeg decodes HLS
// over https. The page asked for HLS (?hls=1) in Chromium chooses the
// channel's HLS playlist and Chromium asks for it; Chromium plays no
// packed MP3 audio, so what it would make of the segments is not shown.
TEST_F(GatewayE2e, HlsThroughNginxCacheAndTlsEveryAnswerOverHttps) {
    REQUIRE_PRIVATE_NETNS();
    for (const char *tool : {"/usr/bin/curl", "/usr/sbin/nginx", "/usr/bin/openssl",
                             "/usr/bin/ffmpeg", "/usr/bin/chromium", "/usr/bin/chromedriver"})
        REQUIRE_TOOL(tool);
    radio();
    start_radio({"--trust-proxy=127.0.0.1"});  // nginx
    ASSERT_EQ(0, run_shell("cd '" + dir +
                           "' && openssl req -x509 -newkey rsa:2048 -nodes -days 1 "
                           "-keyout key.pem -out cert.pem -subj /CN=localhost -addext "
                           "subjectAltName=IP:127.0.0.1 2>/dev/null"));
    ASSERT_TRUE(write_file(dir + "/nginx.conf", nginx_conf(dir, nginx_tls_cache(dir))));
    child_proc *nginx = start(
        {"/usr/sbin/nginx", "-e", dir + "/nginx.log", "-c", dir + "/nginx.conf"}, "nginx", false);
    const std::string ca = "--cacert " + dir + "/cert.pem ", R = "https://127.0.0.1:8443/radio/";
    ASSERT_TRUE(
        wait_until([&] { return answer(ca + R).find("200 OK") != std::string::npos; }, WAIT_MS))
        << read_file(dir + "/nginx.log");
    EXPECT_NE(std::string::npos, answer(ca + R).find("Content-Type: text/html"));
    EXPECT_NE(std::string::npos,
              answer(ca + R + "listen.m3u").find("\nhttps://127.0.0.1:8443/radio/channels/2\n"));
    std::string heard = output_of("curl -s --max-time 3 " + ca + R + "channels/1");
    size_t frames = 0;
    EXPECT_TRUE(run_of(1, whole_frames(heard), &frames));
    EXPECT_GT(frames, 70u);

    std::string list_url = R + "channels/1/live.m3u8";
    ASSERT_TRUE(wait_until(
        [&] { return !segment_names(output_of("curl -s " + ca + list_url)).empty(); }, WAIT_MS));
    std::string seg_url =
        R + "channels/1/" + segment_names(output_of("curl -s " + ca + list_url)).back();
    long long before = metric("stream_gateway_hls_segment_requests_total");
    std::string one = answer(ca + seg_url), two = answer(ca + seg_url);
    EXPECT_EQ(before + 1, metric("stream_gateway_hls_segment_requests_total"));
    EXPECT_NE(std::string::npos, one.find("X-Cache-Status: MISS")) << one.substr(0, 400);
    EXPECT_NE(std::string::npos, two.find("X-Cache-Status: HIT")) << two.substr(0, 400);
    EXPECT_EQ(one.substr(one.find("\r\n\r\n")), two.substr(two.find("\r\n\r\n")));
    before = metric("stream_gateway_hls_playlist_requests_total");
    for (int i = 0; i < 10; i++) answer(ca + list_url);
    EXPECT_LE(metric("stream_gateway_hls_playlist_requests_total"), before + 2)
        << "a playlist is fresh for 2 s";
    child_proc *f = start({"ffmpeg", "-nostdin", "-v", "error", "-i", list_url, "-t", "8", "-f",
                           "wav", "-y", "/dev/null"},
                          "ffmpeg", false);
    EXPECT_EQ(0, finish(f, 40000));
    EXPECT_EQ("", ffmpeg_said(err(f)));

    before = metric("stream_gateway_hls_playlist_requests_total");
    std::string shown = output_of("/usr/bin/python3 " PAGE_CHECK " '" + BASE + "/?hls=1' 2 2>&1");
    EXPECT_NE(std::string::npos, shown.find("\"src\": \"channels/2/live.m3u8\", \"via\": \"hls\""))
        << shown;
    EXPECT_GT(metric("stream_gateway_hls_playlist_requests_total"), before) << "Chromium asked";
    proc_kill(nginx);
    stop_gateway();
}

// One address holds at most its share of the connections (32, the default):
// of 150 from 127.0.0.2 at --connections 100, each sending its request a
// byte every 300 ms, 118 are closed at once and counted, and a request from
// 127.0.0.1 is answered at once while the 32 wait for their deadline. A
// trusted proxy has no share: its 40 are all kept.
TEST_F(GatewayE2e, OneAddressHoldsItsShareOfConnectionsAndOthersAreStillAnswered) {
    REQUIRE_PRIVATE_NETNS();
    REQUIRE_TOOL("/usr/bin/curl");
    struct {
        const char *option;
        size_t connections, refused;
    } rows[] = {{"--each-address=32", 150, 118}, {"--trust-proxy=127.0.0.2", 40, 0}};
    const std::string head = "GET / HTTP/1.1\r\nHost: x\r\n";
    for (const auto &r : rows) {
        SCOPED_TRACE(r.connections);
        gw = start(
            {STREAM_GATEWAY_PATH, "--listen", "127.0.0.1:8000", "--connections", "100", r.option},
            "gateway" + std::to_string(procs.size()), false);
        ASSERT_TRUE(
            wait_until([&] { return err(gw).find("listening on") != std::string::npos; }, WAIT_MS));
        std::vector<int> held;
        while (held.size() < r.connections)
            fds.push_back(held.emplace_back(stalled_request("", "127.0.0.2")));
        size_t sent = 0;
        ASSERT_TRUE(wait_until(
            [&] {
                for (int sd : held)
                    ::send(sd, &head[sent % head.size()], 1, MSG_NOSIGNAL | MSG_DONTWAIT);
                usleep(300 * 1000);
                return ++sent >= 3 && metric("stream_gateway_refused_each_address_total") ==
                                          static_cast<long long>(r.refused);
            },
            WAIT_MS));
        long long asked = now_ns();
        std::string st = status();
        EXPECT_LT(now_ns() - asked, 1'000'000'000LL) << "answered at once";
        EXPECT_NE(std::string::npos,
                  st.find("\"refused_each_address\":" + std::to_string(r.refused) + ","))
            << st;
        size_t closed = 0;
        for (int sd : held) closed += closed_by_peer(sd);
        EXPECT_EQ(r.refused, closed) << "the rest wait for their deadline";
        stop_gateway();
    }
}

}  // namespace
