// The playlists as curl gets them from the real stream_gateway in a private
// network namespace, from loopback and from 10.9.0.1 (an address of the
// namespace's own, not loopback, as a peer on the LAN would have), with
// no proxy trusted, one, or any.
#include <stdio.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "e2e_support.h"

namespace {

// curl's answer, head and body; args are the headers and the URL.
std::string curl(const std::string &args) {
    std::string out;
    FILE *p = popen(("curl -s -i --max-time 3 " + args + " 2>/dev/null").c_str(), "r");
    char buf[4096];
    for (size_t n; p != nullptr && (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
    if (p != nullptr) pclose(p);
    return out;
}

class PlaylistE2e : public client_e2e_fixture {};

TEST_F(PlaylistE2e, AddressesComeFromHostOrATrustedProxyForEveryChannel) {
    REQUIRE_PRIVATE_NETNS();
    if (access("/usr/bin/curl", X_OK) != 0) {
        if (running_in_ci()) FAIL() << "curl is missing";
        GTEST_SKIP() << "curl is missing (tools/ensure-deps test)";
    }
    ASSERT_EQ(0, run_shell("ip addr add 10.9.0.1/32 dev lo"));
    const std::string fwd =
        "-H 'X-Forwarded-Proto: https' -H 'X-Forwarded-Host: radio.example' "
        "-H 'X-Forwarded-Prefix: /radio/' ";
    const std::string local = "--trust-proxy=127.0.0.1";
    struct {
        const char *name;
        std::string args;
        std::vector<std::string> trust;
        std::string base;
    } cases[] = {
        {"plain", "http://127.0.0.1:8000", {}, "http://127.0.0.1:8000/"},
        {"loopback, untrusted", fwd + "http://127.0.0.1:8000", {}, "http://127.0.0.1:8000/"},
        {"proxy on loopback",
         fwd + "http://127.0.0.1:8000",
         {local},
         "https://radio.example/radio/"},
        {"LAN peer", fwd + "http://10.9.0.1:8000", {local}, "http://10.9.0.1:8000/"},
        {"LAN peer, any trusted",
         fwd + "http://10.9.0.1:8000",
         {"--trust-proxy"},
         "https://radio.example/radio/"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> argv = {STREAM_GATEWAY_PATH, "--listen", "8000", "--name", "FM"};
        argv.insert(argv.end(), c.trust.begin(), c.trust.end());
        child_proc *gw = start(argv, std::string("gateway ") + c.name, false);
        ASSERT_TRUE(
            wait_until([&] { return err(gw).find("listening") != std::string::npos; }, WAIT_MS));
        ASSERT_TRUE(send_raw("127.0.0.1", 1995, {list_of({entry(1, "low"), entry(7, "")})}));
        std::string m3u;  // once the list is in
        ASSERT_TRUE(wait_until(
            [&] { return (m3u = curl(c.args + "/listen.m3u")).find("/7\n") != std::string::npos; },
            WAIT_MS))
            << m3u;
        std::string ch7 = "#EXTINF:-1,FM - channel 7\n" + c.base + "channels/7\n";
        for (const char *h : {"Content-Type: audio/x-mpegurl\r\n", "Cache-Control: no-store\r\n"})
            EXPECT_NE(std::string::npos, m3u.find(h)) << m3u;
        EXPECT_TRUE(ends_with(
            m3u, "\r\n\r\n#EXTM3U\n#EXTINF:-1,FM - low\n" + c.base + "channels/1\n" + ch7))
            << m3u;
        std::string pls = curl(c.args + "/listen.pls");
        EXPECT_NE(std::string::npos, pls.find("Content-Type: audio/x-scpls\r\n")) << pls;
        EXPECT_NE(std::string::npos, pls.find("\nFile2=" + c.base + "channels/7\n")) << pls;
        EXPECT_TRUE(ends_with(curl(c.args + "/channels/7.m3u"), "\r\n\r\n#EXTM3U\n" + ch7));
        EXPECT_TRUE(ends_with(curl("-I " + c.args + "/channels/7.m3u"), "\r\n\r\n")) << "HEAD";
        EXPECT_EQ(0u, curl(c.args + "/channels/2.m3u").find("HTTP/1.1 404")) << "never heard";
        // A malformed Host is refused, and so is a trusted proxy's X-Forwarded-Host.
        const std::string list = " http://127.0.0.1:8000/listen.m3u";
        EXPECT_EQ(0u, curl("-H 'Host: [evil'" + list).find("HTTP/1.1 400 "));
        std::string fwd_bad = curl("-H 'X-Forwarded-Host: [evil'" + list);
        EXPECT_EQ(0u, fwd_bad.find(c.trust.empty() ? "HTTP/1.1 200 " : "HTTP/1.1 400 ")) << fwd_bad;
        proc_kill(gw);
    }
    // A proxy's address comes after '=': alone it is refused, with what to write.
    child_proc *gw = start({STREAM_GATEWAY_PATH, "--trust-proxy", "127.0.0.1"}, "stray", false);
    EXPECT_EQ(1, finish(gw));
    EXPECT_NE(std::string::npos,
              err(gw).find("not '127.0.0.1' (a proxy's address: --trust-proxy=127.0.0.1)\n"));
}

}  // namespace
