// tune.cc - typed lines: split, read as channel numbers, and acted on.
#include "tune.h"

#include <ctype.h>
#include <errno.h>
#include <unistd.h>

#include "list_entry.h"
#include "options.h"
#include "proto.h"

namespace {

// line without the blanks around it.
std::string trimmed(const std::string &line) {
    size_t first = 0, end = line.size();
    while (first < end && isspace(static_cast<unsigned char>(line[first]))) first++;
    while (end > first && isspace(static_cast<unsigned char>(line[end - 1]))) end--;
    return line.substr(first, end - first);
}

}  // namespace

std::bitset<256> tune_listed(const uint8_t *buf, size_t len) {
    std::bitset<256> listed;
    size_t pos = offsetof(channel_list_message, entries);
    list_entry_view entry;
    while (list_next_entry(buf, len, &pos, &entry) == 1)
        listed.set(static_cast<size_t>(entry.chnid));
    return listed;
}

tune_action tune_line(const std::string &line, const std::bitset<256> &listed) {
    std::string text = trimmed(line);
    if (text.empty()) return {TUNE_LIST, 0};
    long long n;
    if (!option_number(text.c_str(), 1, 255, &n) || !listed.test(static_cast<size_t>(n)))
        return {TUNE_HINT, 0};
    return {TUNE_SWITCH, static_cast<int>(n)};
}

std::string tune_hint(const std::bitset<256> &listed) {
    std::string numbers;
    for (size_t id = 1; id < listed.size(); id++)
        if (listed.test(id)) numbers += (numbers.empty() ? "" : " ") + std::to_string(id);
    return "type a channel of the list (" + numbers + ") and Enter; Enter alone shows the list\n";
}

void tune_split(tuning *t, const char *bytes, size_t n, std::vector<std::string> *lines) {
    for (size_t i = 0; i < n; i++) {
        if (bytes[i] == '\n') {
            lines->push_back(t->partial);
            t->partial.clear();
        } else if (t->partial.size() < TUNE_LINE_MAX) {
            t->partial += bytes[i];
        }
    }
}

int tune_read(tuning *t, int fd, bool list_visible, std::vector<tune_said> *said) {
    char buf[512];
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return 0;
    if (n <= 0) return -1;
    std::vector<std::string> lines;
    tune_split(t, buf, static_cast<size_t>(n), &lines);
    const auto *list = reinterpret_cast<const uint8_t *>(t->list.data());
    std::bitset<256> listed = tune_listed(list, t->list.size());
    for (const std::string &line : lines) {
        tune_action a = tune_line(line, listed);
        if (a.kind == TUNE_SWITCH) t->pending = a.chnid;
        std::string text;
        if (a.kind == TUNE_LIST) list_text(list, t->list.size(), list_visible, &text);
        if (a.kind == TUNE_HINT) text = tune_hint(listed);
        if (!text.empty()) said->push_back({a.kind == TUNE_LIST, text});
    }
    return 0;
}
