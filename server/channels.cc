// channels.cc - reading a music folder into channels.
#include "channels.h"

#include <dirent.h>
#include <errno.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "now_playing.h"
#include "options.h"
#include "proto_encode.h"
#include "regular_file.h"
#include "utf8.h"

namespace {

// How much of a file (after its ID3v2 tag) must show audio frames.
constexpr size_t PROBE_BYTES = 65536;

// The names in dir, sorted bytewise; false with errno set when it cannot be read.
bool sorted_names(const std::string &dir, std::vector<std::string> *names) {
    DIR *d = opendir(dir.c_str());
    if (!d) return false;
    errno = 0;
    while (dirent *e = readdir(d)) {
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
            names->push_back(e->d_name);
    }
    int saved = errno;
    closedir(d);
    errno = saved;
    std::sort(names->begin(), names->end());
    return saved == 0;
}

bool is_dir(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The description: desc.txt as it is, else the folder's name and a newline.
std::string channel_desc(const std::string &dir, const std::string &name, FILE *report) {
    std::string path = dir + "/desc.txt";
    std::string why;
    int fd = open_regular(path, &why);
    if (fd < 0) {
        if (errno != ENOENT)
            fprintf(report, "%s: %s; the folder's name describes the channel\n",
                    utf8_clean(path).c_str(), why.c_str());
        return name + "\n";
    }
    std::string text;
    uint8_t chunk[4096];
    ssize_t n;
    while ((n = read_at(fd, chunk, sizeof chunk, static_cast<off_t>(text.size()))) > 0)
        text.append(reinterpret_cast<const char *>(chunk), static_cast<size_t>(n));
    int saved = errno;
    close(fd);
    if (n < 0) {
        fprintf(report, "%s: %s; the folder's name describes the channel\n",
                utf8_clean(path).c_str(), strerror(saved));
        return name + "\n";
    }
    return text;
}

// line without the blanks around it.
std::string trimmed(std::string line) {
    auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
    while (!line.empty() && blank(line.back())) line.pop_back();
    size_t first = 0;
    while (first < line.size() && blank(line[first])) first++;
    return line.substr(first);
}

// The source that dir's live file names (its first line), when it has one
// that names one; a live file that names nothing is reported.
std::string read_live(const std::string &dir, FILE *report) {
    std::string path = dir + "/" + CHANNEL_LIVE_NAME;
    std::string why;
    int fd = open_regular(path, &why);
    if (fd < 0) {
        if (errno != ENOENT) fprintf(report, "%s: %s\n", utf8_clean(path).c_str(), why.c_str());
        return "";
    }
    uint8_t buf[4096];
    ssize_t n = read_at(fd, buf, sizeof buf, 0);
    close(fd);
    std::string text(reinterpret_cast<const char *>(buf),
                     static_cast<size_t>(std::max<ssize_t>(n, 0)));
    text = trimmed(text.substr(0, text.find('\n')));
    if (text.empty())
        fprintf(report, "%s: names no source; the channel plays its files\n",
                utf8_clean(path).c_str());
    return text;
}

// Reads the channel.conf of dir into *f, when there is one.
void read_channel_conf(const std::string &dir, audio_format *f, FILE *report) {
    std::string path = dir + "/" + CHANNEL_CONF_NAME;
    std::string why;
    int fd = open_regular(path, &why);
    if (fd < 0) {
        if (errno != ENOENT) fprintf(report, "%s: %s\n", utf8_clean(path).c_str(), why.c_str());
        return;
    }
    std::string text;
    uint8_t chunk[4096];
    ssize_t n;
    // A settings file is small: the first 64 KiB are read.
    while (text.size() < 65536 &&
           (n = read_at(fd, chunk, sizeof chunk, static_cast<off_t>(text.size()))) > 0)
        text.append(reinterpret_cast<const char *>(chunk), static_cast<size_t>(n));
    close(fd);
    channel_conf_parse(text, path, f, report);
}

// The format of most of heads (the first's on a tie), else 44.1 kHz stereo.
audio_format usual_format(const std::vector<mp3_header> &heads) {
    audio_format best;
    int best_count = 0;
    for (const auto &h : heads) {
        int count = 0;
        for (const auto &o : heads)
            count += o.sample_rate == h.sample_rate && o.channels == h.channels;
        if (count > best_count) {
            best_count = count;
            best = {h.sample_rate, h.channels};
        }
    }
    return best;
}

// One channel folder: its playable files, the others reported, and its format.
channel_def load_channel(int id, const std::string &dir, const std::string &name,
                         audio_format wanted, FILE *report) {
    channel_def ch{id, dir, channel_desc(dir, name, report), {}, {}};
    std::vector<std::string> names;
    if (!sorted_names(dir, &names)) {
        fprintf(report, "skipping %s: %s\n", utf8_clean(dir).c_str(), strerror(errno));
        return ch;
    }
    std::vector<mp3_header> heads;
    int others = 0;  // files that are no MP3
    for (const auto &n : names) {
        if (n == CHANNEL_DESC_NAME || n == CHANNEL_CONF_NAME || n == CHANNEL_LIVE_NAME) continue;
        std::string path = dir + "/" + n;
        std::string why;
        mp3_header h;
        int fd = open_regular(path, &why);
        if (fd >= 0) close(fd);
        if (fd >= 0 && file_has_audio(path, &h, &why)) {
            ch.files.push_back(path);
            heads.push_back(h);
        } else if (fd >= 0 && decoded_probe(path, &why)) {
            ch.files.push_back(path);
            others++;
        } else {
            // What FFmpeg says of a file it cannot read tells a user little.
            if (fd >= 0) why = "no audio that plays";
            fprintf(report, "skipping %s: %s\n", utf8_clean(path).c_str(), why.c_str());
        }
    }
    if (ch.files.empty())
        fprintf(report, "skipping %s: no playable file\n", utf8_clean(dir).c_str());
    audio_format conf = wanted;
    read_channel_conf(dir, &conf, report);
    ch.format = usual_format(heads);
    if (conf.rate > 0) ch.format.rate = conf.rate;
    if (conf.channels > 0) ch.format.channels = conf.channels;
    ch.live = read_live(dir, report);
    ch.transcoded = others;
    for (const auto &h : heads)
        ch.transcoded += h.sample_rate != ch.format.rate || h.channels != ch.format.channels;
    return ch;
}

}  // namespace

int channel_number(const char *name) {
    int n = 0;
    int digits = 0;
    for (; name[digits] >= '0' && name[digits] <= '9'; digits++) {
        n = n * 10 + (name[digits] - '0');
        if (n > 255) return 0;
    }
    return digits > 0 ? n : 0;
}

std::string base_name(const std::string &path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool file_has_audio(const std::string &path, mp3_header *first, std::string *why) {
    int fd = open_regular(path, why);
    if (fd < 0) return false;
    std::vector<uint8_t> buf(PROBE_BYTES);
    off_t offset = 0;
    bool found = false;
    ssize_t got = 0;
    // A tag that runs past the buffer sends the probe on past it.
    for (int tries = 0; tries < 4 && !found; tries++) {
        got = read_at(fd, buf.data(), buf.size(), offset);
        if (got <= 0) break;
        size_t n = static_cast<size_t>(got);
        mp3_step s = mp3_next_frame(buf.data(), n, n < buf.size());
        if (s.kind == MP3_FRAME) {
            found = true;
            *first = s.h;
        }
        if (s.kind != MP3_NEED_MORE || s.skip < MP3_MAX_PENDING) break;
        offset += static_cast<off_t>(s.skip);
    }
    int saved = errno;
    close(fd);
    if (got < 0)
        *why = strerror(saved);
    else if (!found)
        *why = "no MPEG audio Layer III frames";
    return found;
}

void channel_conf_parse(const std::string &text, const std::string &path, audio_format *f,
                        FILE *report) {
    size_t at = 0;
    for (int number = 1; at < text.size(); number++) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        std::string line = trimmed(text.substr(at, end - at));
        at = end + 1;
        if (line.empty() || line[0] == '#') continue;
        size_t eq = line.find('=');
        std::string key = trimmed(line.substr(0, eq));
        std::string value = eq == std::string::npos ? "" : trimmed(line.substr(eq + 1));
        long long v = 0;
        std::string why;
        if (key == "sample-rate") {
            if (option_number(value.c_str(), 8000, 48000, &v) &&
                audio_rate_valid(static_cast<int>(v)))
                f->rate = static_cast<int>(v);
            else
                why =
                    "sample-rate must be one of 8000, 11025, 12000, 16000, 22050, 24000, 32000, "
                    "44100 and 48000";
        } else if (key == "audio-channels") {
            if (option_number(value.c_str(), 1, 2, &v))
                f->channels = static_cast<int>(v);
            else
                why = "audio-channels must be 1 or 2";
        } else {
            why = "no setting '" + now_playing_clean(key) + "'";
        }
        if (!why.empty())
            fprintf(report, "%s:%d: %s; the line is passed over\n", utf8_clean(path).c_str(),
                    number, why.c_str());
    }
}

bool channels_load(const std::string &root, std::vector<channel_def> *out, std::string *why,
                   FILE *report, audio_format wanted) {
    std::vector<std::string> names;
    if (!sorted_names(root, &names)) {
        *why = utf8_clean(root) + ": " + strerror(errno);
        return false;
    }
    struct numbered {
        int id;
        std::string name;
    };
    std::vector<numbered> folders;
    for (const auto &n : names) {
        int id = channel_number(n.c_str());
        if (id == 0 || !is_dir(root + "/" + n)) {
            fprintf(report, "skipping %s: not a folder named by a channel number 1 to 255\n",
                    utf8_clean(root + "/" + n).c_str());
            continue;
        }
        folders.push_back({id, n});
    }
    std::stable_sort(folders.begin(), folders.end(),
                     [](const numbered &a, const numbered &b) { return a.id < b.id; });
    for (size_t i = 1; i < folders.size(); i++) {
        if (folders[i].id == folders[i - 1].id) {
            *why = "channel " + std::to_string(folders[i].id) +
                   " twice: " + utf8_clean(root + "/" + folders[i - 1].name) + " and " +
                   utf8_clean(root + "/" + folders[i].name);
            return false;
        }
    }
    std::vector<channel_def> found;
    for (const auto &f : folders) {
        channel_def ch = load_channel(f.id, root + "/" + f.name, f.name, wanted, report);
        if (!ch.files.empty()) found.push_back(ch);
    }
    if (found.empty()) {
        *why = "no playable channel in " + utf8_clean(root);
        return false;
    }
    *out = found;
    return true;
}

bool channels_list_message(const std::vector<channel_def> &channels, std::vector<uint8_t> *msg,
                           size_t *size) {
    *msg = encode_list_start();
    *size = msg->size();
    for (const auto &ch : channels) *size += encode_entry_size(ch.desc);
    if (*size > MSG_MAX_DATAGRAM) return false;
    for (const auto &ch : channels) encode_list_entry(msg, static_cast<uint8_t>(ch.id), ch.desc);
    return true;
}

bool channels_programme(const std::string &root, std::vector<channel_def> *channels,
                        std::vector<uint8_t> *list, std::string *why, FILE *report,
                        audio_format wanted) {
    std::vector<channel_def> found;
    if (!channels_load(root, &found, why, report, wanted)) return false;
    size_t size;
    if (!channels_list_message(found, list, &size)) {
        *why = "the channel list would take " + std::to_string(size) +
               " bytes, more than one datagram carries (" + std::to_string(MSG_MAX_DATAGRAM) + ")";
        return false;
    }
    *channels = std::move(found);
    return true;
}

std::string channels_line(const channel_def &ch) {
    std::string first = ch.desc.substr(0, ch.desc.find('\n'));
    std::string line = "channel " + std::to_string(ch.id) + ": " + std::to_string(ch.files.size()) +
                       (ch.files.size() == 1 ? " file, \"" : " files, \"") +
                       now_playing_clean(first) + "\"";
    if (ch.transcoded > 0)
        line += "; " + std::to_string(ch.transcoded) + " transcoded to MP3 at " +
                std::to_string(ch.format.rate) + " Hz, " +
                (ch.format.channels == 1 ? "mono" : "stereo");
    return line;
}
