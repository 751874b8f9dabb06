// now_playing.cc - writing and reading the now-playing datagram.
#include "now_playing.h"

#include "utf8.h"

namespace {

constexpr char FIRST_LINE[] = "now-playing=1\n";

// The channel a value names: decimal digits only, 1 to 255; else 0.
int channel_of(const std::string &value) {
    if (value.empty() || value.size() > 3) return 0;
    int n = 0;
    for (char c : value) {
        if (c < '0' || c > '9') return 0;
        n = n * 10 + (c - '0');
    }
    return n <= 255 ? n : 0;
}

}  // namespace

int now_playing_port(int port) {
    return port < 65535 ? port + 1 : 0;
}

int repair_port(int port) {
    return port < 65534 ? port + 2 : 0;
}

std::string now_playing_clean(const std::string &text) {
    return utf8_clean(text, NOW_PLAYING_VALUE_MAX);
}

std::string now_playing_encode(const now_playing &np) {
    return std::string(FIRST_LINE) + "channel=" + std::to_string(np.chnid) +
           "\ntitle=" + now_playing_clean(np.title) + "\nartist=" + now_playing_clean(np.artist) +
           "\nfile=" + now_playing_clean(np.file) + "\ncodec=" + now_playing_clean(np.codec) +
           "\ntranscoded=" + (np.transcoded ? "1" : "0") + "\n" +
           (np.gain.empty() ? "" : "gain=" + now_playing_clean(np.gain) + "\n");
}

std::string now_playing_text(const now_playing &np) {
    if (!np.artist.empty() && !np.title.empty()) return np.artist + " - " + np.title;
    if (!np.title.empty()) return np.title;
    return np.file;
}

bool now_playing_parse(const uint8_t *buf, size_t len, now_playing *out) {
    std::string text(reinterpret_cast<const char *>(buf), len);
    if (text.compare(0, sizeof FIRST_LINE - 1, FIRST_LINE) != 0) return false;
    now_playing np;
    for (size_t at = sizeof FIRST_LINE - 1; at < text.size();) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(at, end - at);
        at = end + 1;
        size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        std::string key = line.substr(0, eq), value = line.substr(eq + 1);
        if (key == "channel") np.chnid = channel_of(value);
        if (key == "title") np.title = now_playing_clean(value);
        if (key == "artist") np.artist = now_playing_clean(value);
        if (key == "file") np.file = now_playing_clean(value);
        if (key == "codec") np.codec = now_playing_clean(value);
        if (key == "transcoded") np.transcoded = value == "1";
        if (key == "gain") np.gain = now_playing_clean(value);
    }
    if (np.chnid < 1 || np.chnid > 255) return false;
    *out = np;
    return true;
}
