// A channel's playout across its files: what it reads of each, the tags it
// takes, what it passes over, and where it goes on when its list changes.
#include "playout.h"

#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <iterator>

#include <gtest/gtest.h>

#include "audio_support.h"
#include "proc.h"

namespace {

// Each file started, with its tags, and the bytes played from it.
struct started {
    std::string path, title, artist, bytes;
};

// The frames of bytes, all of them or all but the last.
std::string frames(const std::string &bytes, bool but_last = false) {
    std::vector<found_frame> f = frames_of(bytes);
    return cut_frames(bytes, f, 0, f.size() - (but_last ? 1 : 0));
}

long max_rss_kib() {
    rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_maxrss;
}

// Hostile files too: a 60 MB title frame before the artist (skipped with a
// line, the memory it would take never taken), audio that 2 MiB of zeros
// follow (the file ends 1 MiB into them, over calls that each read a
// bounded share), a FIFO named with a line break (blanked in its line).
TEST(Playout, ReadsTagsFromTheOpenFileAndPassesOverWhatIsNoRegularFile) {
    std::string dir = make_temp_dir();
    std::string v2 = made_mp3(TEST_AUDIO_DIR, "tag_v2", 44100, 2, "synth 0.5 sine 400",
                              "-b 128 --add-id3v2 --tt \"Für Elise\" --ta Somebody");
    std::string v1 = made_mp3(TEST_AUDIO_DIR, "tag_v1", 44100, 2, "synth 0.5 sine 500",
                              "-b 128 --id3v1-only --tt Only");
    std::string none =
        made_mp3(TEST_AUDIO_DIR, "tag_plain", 44100, 2, "synth 0.5 sine 600", "-b 128");
    ASSERT_NE("", v2);
    ASSERT_NE("", v1);
    ASSERT_NE("", none);
    std::string audio = file_bytes(none);
    std::string fifo = dir + "/fi\nfo.mp3", big = dir + "/big.mp3", zeros = dir + "/zeros.mp3";
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    const size_t title_size = 60 << 20;
    std::string artist = id3v2_frame_header(3, "TPE1", 9) + '\0' + "Somebody";
    ASSERT_TRUE(write_file(big, id3v2_header(3, 10 + title_size + artist.size()) +
                                    id3v2_frame_header(3, "TIT2", title_size)));
    ASSERT_TRUE(append_after_hole(big, title_size, artist + audio));
    ASSERT_TRUE(write_file(zeros, audio));
    ASSERT_TRUE(append_after_hole(zeros, 2 << 20, audio));
    // Tags of other shapes: ID3v2.2, ID3v2.4 behind an extended header, and
    // ID3v2.3 unsynchronised (a 0 after each 0xFF, frame headers included).
    std::string v22 = dir + "/v22.mp3", v24 = dir + "/v24.mp3", un = dir + "/un.mp3";
    ASSERT_TRUE(write_file(
        v22, id3v2_header(2, 20) + std::string("TT2\0\0\4\0T22TP1\0\0\4\0A22", 20) + audio));
    std::string v24_tag = std::string("\0\0\0\6\1\0", 6) + id3v2_frame_header(4, "TIT2", 4) +
                          "\3T24" + id3v2_frame_header(4, "TPE1", 4) + "\3A24";
    std::string v24_head = id3v2_header(4, v24_tag.size());
    v24_head[5] = 0x40;
    ASSERT_TRUE(write_file(v24, v24_head + v24_tag + audio));
    std::string un_head = id3v2_header(3, 27);
    un_head[5] = '\x80';
    ASSERT_TRUE(write_file(un, un_head + id3v2_frame_header(3, "TIT2", 4) + '\0' + "Un\xFF" + '\0' +
                                   id3v2_frame_header(3, "TPE1", 2) + '\0' + "A" + audio));
    char *text = nullptr;
    size_t size = 0;
    FILE *report = open_memstream(&text, &size);
    playout p = playout_start(
        {7, dir, "", {v2, fifo, v1, "/dev/null", big, zeros, v22, v24, un, none}, {}}, true);
    std::vector<started> got;
    std::vector<uint8_t> payload;
    int again = 0;
    long rss_before = max_rss_kib();
    for (long long ns; (ns = playout_next(&p, 1, &payload, report)) != 0;) {
        if (ns == PLAYOUT_AGAIN) {
            again++;
            continue;
        }
        if (got.empty() || got.back().path != p.path)
            got.push_back({p.path, p.tags.title, p.tags.artist, ""});
        got.back().bytes.append(payload.begin(), payload.end());
    }
    EXPECT_LT(max_rss_kib() - rss_before, 16 << 10) << "KiB more at peak";
    EXPECT_GE(again, 2);  // 1 MiB read at 256 KiB a call
    playout_stop(&p);
    fclose(report);
    EXPECT_EQ(
        "channel 7: " + dir +
            "/fi fo.mp3: a FIFO, not a regular file; going on with the next file\n"
            "channel 7: /dev/null: a device, not a regular file; going on with the next file\n"
            "channel 7: " +
            big +
            ": ID3v2 frame TIT2 of 62914560 bytes skipped: over 1 MiB\n"
            "channel 7: " +
            zeros + ": no audio frame in 1 MiB; going on with the next file\n",
        std::string(text, size));
    free(text);
    // Every frame, from the first: the tag reader left the offset at the start.
    const started want[] = {{v2, "Für Elise", "Somebody", frames(file_bytes(v2))},
                            {v1, "Only", "", frames(file_bytes(v1))},
                            {big, "", "Somebody", frames(audio)},
                            // No frame header follows the last frame before the zeros.
                            {zeros, "", "", frames(audio, true)},
                            {v22, "T22", "A22", frames(audio)},
                            {v24, "T24", "A24", frames(audio)},
                            {un, "Un\u00FF", "A", frames(audio)},
                            {none, "", "", frames(audio)}};
    ASSERT_EQ(std::size(want), got.size());
    for (size_t i = 0; i < got.size(); i++) {
        SCOPED_TRACE(want[i].path);
        EXPECT_EQ(want[i].path, got[i].path);
        EXPECT_EQ(want[i].title, got[i].title);
        EXPECT_EQ(want[i].artist, got[i].artist);
        EXPECT_TRUE(want[i].bytes == got[i].bytes)
            << got[i].bytes.size() << " bytes of " << want[i].bytes.size();
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
        playout p = playout_start({1, "/r/1", "", {"/r/1/x"}, {}}, c.once);
        p.path = c.playing;
        p.silent_files = 1;
        playout_replace(&p, {1, "/r/1", "", c.files, {}});
        EXPECT_EQ(c.want_next, p.next_file);
        EXPECT_EQ(c.files, p.ch.files);
        EXPECT_EQ(0u, p.silent_files);
    }
}

}  // namespace
