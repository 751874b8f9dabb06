// What a live source is shown as: never its credentials, query or a
// command's arguments, which may hold secrets.
#include "live.h"

#include <gtest/gtest.h>

namespace {

TEST(LiveShown, CredentialsQueryAndArgumentsNeverShow) {
    const struct {
        const char *url, *shown;
    } cases[] = {
        {"http://radio.example/stream", "http://radio.example/stream"},
        {"https://user:pw@radio.example:8443/a?token=x#t", "https://radio.example:8443/a"},
        {"http://radio.example/a@b", "http://radio.example/a@b"},  // an @ in the path stays
        {"http://u@radio.example", "http://radio.example"},
        {"/run/radio/feed", "/run/radio/feed"},
        {"| arecord -q -D hw:1 --pass=x", "command arecord"},
        {"|ffmpeg", "command ffmpeg"},
        {"|  ", "command"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.url);
        EXPECT_EQ(c.shown, live_shown(c.url));
    }
}

}  // namespace
