// The radio's TXT record: what a server writes, a player reads back, and
// what a player refuses from a record that cannot be joined.
#include "radio_txt.h"

#include <gtest/gtest.h>

namespace {

const radio_txt RADIO = {"239.1.2.3", 5004, 5005, 0, 5007, 12};

TEST(RadioTxt, WrittenRecordReadsBackWithTheVersionFirst) {
    std::vector<std::string> txt = radio_txt_encode(RADIO);
    ASSERT_FALSE(txt.empty());
    EXPECT_EQ("txtvers=1", txt[0]);
    radio_txt got;
    std::string why;
    ASSERT_TRUE(radio_txt_decode(txt, &got, &why)) << why;
    EXPECT_EQ(RADIO.group, got.group);
    EXPECT_EQ(RADIO.port, got.port);
    EXPECT_EQ(RADIO.now_playing_port, got.now_playing_port);
    EXPECT_EQ(RADIO.repair_port, got.repair_port);
    EXPECT_EQ(RADIO.timing_port, got.timing_port);
    EXPECT_EQ(RADIO.channels, got.channels);
}

TEST(RadioTxt, ReaderTakesKnownKeysAnyCaseAndRefusesWhatCannotBeJoined) {
    const std::vector<std::string> good = radio_txt_encode(RADIO);
    // Each row replaces (or with an empty key, drops) one key of a good record.
    struct edit_case {
        const char *name;
        std::string key, with;  // with "": the key is dropped
        bool ok;
    };
    const edit_case cases[] = {
        {"unknown key passed over", "gateway", "gateway=10.0.0.2:8000", true},
        {"key in capitals", "group", "GROUP=239.1.2.3", true},
        {"no version", "txtvers", "", false},
        {"a later version", "txtvers", "txtvers=2", false},
        {"no group", "group", "", false},
        {"unicast group", "group", "group=10.1.2.3", false},
        {"group not an address", "group", "group=radio", false},
        {"port 0", "port", "port=0", false},
        {"port past 65535", "port", "port=65536", false},
        {"port empty", "port", "port=", false},
        {"no port", "port", "", false},
        {"boolean key, no value", "timing", "timing", false},
        {"no repair port given", "repair", "", false},
        {"256 channels", "channels", "channels=256", false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> txt;
        bool replaced = false;
        for (const auto &s : good) {
            if (s.compare(0, c.key.size() + 1, c.key + "=") != 0) {
                txt.push_back(s);
            } else if (!c.with.empty()) {
                txt.push_back(c.with);
                replaced = true;
            } else {
                replaced = true;
            }
        }
        if (!replaced) txt.push_back(c.with);
        radio_txt got;
        std::string why;
        EXPECT_EQ(c.ok, radio_txt_decode(txt, &got, &why)) << why;
        EXPECT_EQ(c.ok, why.empty()) << why;
    }
}

TEST(RadioTxt, ServiceNamesAreCutWholeAtTheLabelLimit) {
    EXPECT_EQ(std::string(63, 'a'), service_name_cut(std::string(64, 'a')));
    // A two-byte character that would end at byte 64 is left out whole.
    EXPECT_EQ(std::string(62, 'a'), service_name_cut(std::string(62, 'a') + "é"));
    EXPECT_EQ("Kitchen radio", service_name_cut("Kitchen\nradio"));
    std::string name = service_name_cut(default_station_name());
    EXPECT_EQ(0u, name.rfind("Radio", 0));
    EXPECT_LE(name.size(), SERVICE_NAME_MAX);
}

}  // namespace
