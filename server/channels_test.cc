// Reading a music folder: which folders are channels, what is skipped with a
// line of report, and which folders are refused with the reason.
#include "channels.h"

#include <stdlib.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "audio_support.h"
#include "proc.h"

namespace {

struct load_case {
    const char *name;
    std::string setup;  // shell commands run in the radio folder
    bool ok;
    std::string want_why;     // with ok false: the reason, "%R" standing for the folder
    std::string want_report;  // the lines reported, "%R" likewise
    std::vector<int> want_ids;
    std::string want_formats = "";  // "ID:RATE/CHANNELS ..." when not empty
};

std::string with_root(std::string text, const std::string &root) {
    for (size_t at; (at = text.find("%R")) != std::string::npos;) text.replace(at, 2, root);
    return text;
}

TEST(ChannelsLoad, FoldersBecomeChannelsOrAreReported) {
    std::string song =
        made_mp3(TEST_AUDIO_DIR, "channels_a", 44100, 2, "synth 1 sine 330", "-b 96");
    ASSERT_NE("", song);
    std::string stereo =
        made_mp3(TEST_AUDIO_DIR, "channels_stereo", 44100, 2, "synth 1 sine 330", "-b 96 -m s");
    std::string mono22 = made_mp3(TEST_AUDIO_DIR, "channels_mono22", 22050, 1, "synth 1 sine 330",
                                  "-b 32 --resample 22.05");
    ASSERT_NE("", stereo);
    ASSERT_NE("", mono22);
    const std::string NOT_CHANNEL = ": not a folder named by a channel number 1 to 255\n";
    const load_case cases[] = {
        {"missing folder", "rmdir \"$PWD\"", false, "%R: No such file or directory", "", {}},
        {"empty folder", "", false, "no playable channel in %R", "", {}},
        {"one number twice",
         "mkdir 1-a 01-b && ln -s " + song + " 1-a/ && ln -s " + song + " 01-b/",
         false,
         "channel 1 twice: %R/01-b and %R/1-a",
         "",
         {}},
        {"channels in number order, whatever their names",
         "mkdir 10-x 9-y 002 && ln -s " + song + " 10-x/ && ln -s " + song + " 9-y/ && ln -s " +
             song + " 002/",
         true,
         "",
         "",
         {2, 9, 10}},
        {"what is no channel or plays nothing is skipped",
         "mkdir notes 0-zero 256-big 3-empty 4-good && touch top.txt 3-empty/x.mp3 && ln -s " +
             song + " 4-good/ && echo text > 4-good/z.mp3",
         true,
         "",
         "skipping %R/0-zero" + NOT_CHANNEL + "skipping %R/256-big" + NOT_CHANNEL +
             "skipping %R/notes" + NOT_CHANNEL + "skipping %R/top.txt" + NOT_CHANNEL +
             "skipping %R/3-empty/x.mp3: no audio that plays\n"
             "skipping %R/3-empty: no playable file\n"
             "skipping %R/4-good/z.mp3: no audio that plays\n",
         {4}},
        {"a FIFO is passed over, never opened",
         "mkdir 1-a && mkfifo 1-a/desc.txt 1-a/a.mp3 && ln -s " + song + " 1-a/",
         true,
         "",
         "%R/1-a/desc.txt: a FIFO, not a regular file; the folder's name describes the channel\n"
         "skipping %R/1-a/a.mp3: a FIFO, not a regular file\n",
         {1}},
        {"a channel sends the format of most of its MP3s, or its channel.conf's",
         "mkdir 1-a 2-b 3-c 4-d && ln -s " + song + " 1-a/ && ln -s " + stereo + " 2-b/ && ln -s " +
             mono22 + " 2-b/ && ln -s " + mono22 + " 2-b/m2.mp3 && ln -s " + song +
             " 3-c/ && printf '# ours\\n sample-rate = 48000 \\naudio-channels=1\\nrate = 8000\\n'"
             " > 3-c/channel.conf && sox -n -r 8000 -c 1 4-d/tone.wav synth 0.2 sine 440",
         true,
         "",
         "%R/3-c/channel.conf:4: no setting 'rate'; the line is passed over\n",
         {1, 2, 3, 4},
         "1:32000/2 2:22050/1 3:48000/1 4:44100/2"},
    };
    std::string dir = make_temp_dir();
    std::string root = dir + "/radio";
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(0, run_shell("rm -rf '" + root + "' && mkdir '" + root + "' && cd '" + root +
                               "' && " + (c.setup.empty() ? "true" : c.setup)));
        char *text = nullptr;
        size_t size = 0;
        FILE *report = open_memstream(&text, &size);
        std::vector<channel_def> channels;
        std::string why;
        EXPECT_EQ(c.ok, channels_load(root, &channels, &why, report));
        fclose(report);
        EXPECT_EQ(with_root(c.want_why, root), why);
        EXPECT_EQ(with_root(c.want_report, root), std::string(text, size));
        free(text);
        std::vector<int> ids;
        for (const auto &ch : channels) ids.push_back(ch.id);
        EXPECT_EQ(c.want_ids, ids);
        std::string formats;
        for (const auto &ch : channels) {
            formats += (formats.empty() ? "" : " ") + std::to_string(ch.id) + ":" +
                       std::to_string(ch.format.rate) + "/" + std::to_string(ch.format.channels);
        }
        if (!c.want_formats.empty()) {
            EXPECT_EQ(c.want_formats, formats);
        }
    }
    remove_tree(dir);
}

TEST(ChannelsListMessage, RefusesAListBeyondOneDatagram) {
    std::vector<channel_def> channels = {{1, "", std::string(40000, 'x'), {}, {}},
                                         {2, "", std::string(25498, 'y'), {}, {}}};
    std::vector<uint8_t> msg;
    size_t size = 0;
    EXPECT_TRUE(channels_list_message(channels, &msg, &size));
    EXPECT_EQ(65507u, size);  // the largest datagram, exactly
    channels[1].desc += "z";
    EXPECT_FALSE(channels_list_message(channels, &msg, &size));
    EXPECT_EQ(65508u, size);
}

}  // namespace
