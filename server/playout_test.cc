// A channel's playout across its files: what it reads of each, the tags it
// takes, what it passes over, and where it goes on when its list changes.
#include "playout.h"

#include <stdlib.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "audio_support.h"
#include "proc.h"

namespace {

// Each file started, with its tags, and the bytes played from it.
struct started {
    std::string path, title, artist, bytes;
};

TEST(Playout, ReadsTagsFromTheOpenFileAndPassesOverWhatIsNoRegularFile) {
    std::string dir = make_temp_dir();
    std::string v2 = made_mp3(TEST_AUDIO_DIR, "tag_v2", 44100, 2, "synth 0.5 sine 400",
                              "-b 128 --add-id3v2 --tt \"Für Elise\" --ta Somebody");
    std::string v1 = made_mp3(TEST_AUDIO_DIR, "tag_v1", 44100, 2, "synth 0.5 sine 500",
                              "-b 128 --id3v1-only --tt Only");
    std::string none =
        made_mp3(TEST_AUDIO_DIR, "tag_none", 44100, 2, "synth 0.5 sine 600", "-b 96");
    ASSERT_NE("", v2);
    ASSERT_NE("", v1);
    ASSERT_NE("", none);
    std::string fifo = dir + "/fifo.mp3";
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    char *text = nullptr;
    size_t size = 0;
    FILE *report = open_memstream(&text, &size);
    playout p = playout_start({7, dir, "", {v2, fifo, v1, "/dev/null", none}}, true);
    std::vector<started> got;
    std::vector<uint8_t> payload;
    while (playout_next(&p, 1, &payload, report) > 0) {
        if (got.empty() || got.back().path != p.path)
            got.push_back({p.path, p.tags.title, p.tags.artist, ""});
        got.back().bytes.append(payload.begin(), payload.end());
    }
    playout_stop(&p);
    fclose(report);
    EXPECT_EQ(
        "channel 7: " + fifo +
            ": a FIFO, not a regular file; going on with the next file\n"
            "channel 7: /dev/null: a device, not a regular file; going on with the next file\n",
        std::string(text, size));
    free(text);
    const started want[] = {
        {v2, "Für Elise", "Somebody", ""}, {v1, "Only", "", ""}, {none, "", "", ""}};
    ASSERT_EQ(3u, got.size());
    for (size_t i = 0; i < 3; i++) {
        SCOPED_TRACE(want[i].path);
        EXPECT_EQ(want[i].path, got[i].path);
        EXPECT_EQ(want[i].title, got[i].title);
        EXPECT_EQ(want[i].artist, got[i].artist);
        // Every frame, from the first: the tag reader left the offset at the start.
        std::string bytes = file_bytes(want[i].path);
        std::string frames = cut_frames(bytes, frames_of(bytes));
        EXPECT_TRUE(frames == got[i].bytes) << got[i].bytes.size() << " bytes of " << frames.size();
    }
    remove_tree(dir);
}

TEST(Playout, NewListGoesOnAfterTheFileNowPlaying) {
    struct replace_case {
        const char *name;
        std::string playing;  // "" before the first file
        std::vector<std::string> files;
        bool once;
        size_t want_next;
    };
    const replace_case cases[] = {
        {"nothing played yet", "", {"/r/1/a", "/r/1/b"}, false, 0},
        {"a file added after it", "/r/1/b", {"/r/1/a", "/r/1/b", "/r/1/c"}, false, 2},
        {"a file added before it", "/r/1/b", {"/r/1/a", "/r/1/aa", "/r/1/b", "/r/1/c"}, false, 3},
        {"its own file removed", "/r/1/b", {"/r/1/a", "/r/1/c"}, false, 1},
        {"nothing sorts after it: the first", "/r/1/c", {"/r/1/a", "/r/1/b"}, false, 0},
        {"nothing after it, once: the end", "/r/1/c", {"/r/1/a", "/r/1/b"}, true, 2},
        {"folder renamed: names count", "/r/1-old/b", {"/r/01-new/a", "/r/01-new/c"}, false, 1},
        {"a name past ASCII sorts last", "/r/1/z", {"/r/1/a", "/r/1/\xc3\xa9"}, false, 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        playout p = playout_start({1, "/r/1", "", {"/r/1/x"}}, c.once);
        p.path = c.playing;
        p.silent_files = 1;
        playout_replace(&p, {1, "/r/1", "", c.files});
        EXPECT_EQ(c.want_next, p.next_file);
        EXPECT_EQ(c.files, p.ch.files);
        EXPECT_EQ(0u, p.silent_files);
    }
}

}  // namespace
