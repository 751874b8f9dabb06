// The page in headless Chromium as a listener uses it (page_check.py
// --player), with the real server and gateway in a private network
// namespace: 32 channels, the gateway stopped and started again, the
// server stopped.
#include <stdlib.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "audio_support.h"
#include "e2e_support.h"

namespace {

const std::string BASE = "http://127.0.0.1:8000";
const std::string NAME = "Bar & <b>Grill</b> FM";

class PageE2e : public client_e2e_fixture {
protected:
    child_proc *gateway() {
        child_proc *g = start({STREAM_GATEWAY_PATH, "--listen", "127.0.0.1:8000", "--name", NAME},
                              "gateway" + std::to_string(procs.size()), false);
        EXPECT_TRUE(
            wait_until([&] { return err(g).find("listening on") != std::string::npos; }, WAIT_MS));
        return g;
    }
};

TEST_F(PageE2e, OnePlayerStopsPlaysLiveReconnectsAndSaysWhenOffTheAir) {
    REQUIRE_PRIVATE_NETNS();
    if (run_shell("test -x /usr/bin/chromium -a -x /usr/bin/chromedriver -a -x /usr/bin/curl && "
                  "/usr/bin/python3 -c 'import selenium' 2>/dev/null") != 0) {
        if (running_in_ci()) FAIL() << "a tool is missing";
        GTEST_SKIP() << "Chromium, its driver, Selenium or curl is missing (tools/ensure-deps)";
    }
    // Channel 1's file is tagged: the server says what it plays, in markup
    // that must reach the page as text.
    std::string tone = made_mp3(TEST_AUDIO_DIR, "gw_330", 44100, 2, "synth 2 sine 330", "-b 128");
    std::string tagged = made_mp3(TEST_AUDIO_DIR, "gw_330_so_what", 44100, 2, "synth 2 sine 330",
                                  "-b 128 --ta 'Miles & Co' --tt '<b>So</b> What'");
    for (int id = 1; id <= 32; id++) {
        std::string d = dir + "/radio/" + std::to_string(id);
        std::string file = id == 1 ? tagged : tone;
        ASSERT_EQ(0, run_shell("mkdir -p '" + d + "' && cp '" + file + "' '" + d + "'"));
        ASSERT_TRUE(write_file(d + "/desc.txt", "tone " + std::to_string(id) + "\n"));
    }
    child_proc *gw = gateway();
    child_proc *srv =
        start({STREAM_SERVER_PATH, "--source-port", "1995", dir + "/radio"}, "server", false);
    ASSERT_TRUE(wait_until(  // the list is in: the server is known
        [&] { return run_shell("curl -s " + BASE + "/status.json | grep -q '1995'") == 0; },
        WAIT_MS));

    setenv("PAGE_SHOT", PAGE_SHOT_PATH, 1);
    std::string steps = dir + "/steps";
    child_proc *page =
        start({"/usr/bin/python3", PAGE_CHECK, BASE + "/", "1", "--player", steps}, "page", false);
    ASSERT_TRUE(wait_until([&] { return read_file(steps) == "stop-gateway\n"; }, 90000));
    proc_kill(gw);
    ASSERT_TRUE(wait_until([&] { return read_file(steps) == "start-gateway\n"; }, WAIT_MS));
    gateway();
    ASSERT_TRUE(wait_until([&] { return read_file(steps) == "stop-server\n"; }, 60000));
    proc_kill(srv);
    EXPECT_EQ(0, finish(page, 60000));
    std::string shown = out(page);
    for (const std::string &want : std::vector<std::string>{
             "\"failed\": []", "\"errors\": []",
             "[\"1\", \"tone 1\", \"on air\", \"Miles & Co - <b>So</b> What\", \"0\"]",
             "\"heading\": \"" + NAME + "\"",
             "\"title_playing\": \"<b>So</b> What - " + NAME + "\"",
             "\"title_stopped\": \"" + NAME + "\"",
             "\"metadata\": [\"<b>So</b> What\", \"Miles & Co\", \"Channel 1: tone 1 - " + NAME +
                 "\"]"})
        EXPECT_NE(std::string::npos, shown.find(want)) << want << "\nin " << shown << err(page);
}

}  // namespace
