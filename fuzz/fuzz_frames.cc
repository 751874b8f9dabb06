// fuzz_frames.cc - any bytes through the shared frame scan, once as
// one whole input and once piece by piece through a small window, as the
// server reads a file. Every frame must lie inside the input, start with a
// header that gives its size, follow the one before without overlap; the
// two ways must find the same frames; and a request for more input must
// leave less than MP3_MAX_PENDING bytes, so the server's buffer suffices.
#include <stdint.h>
#include <stdlib.h>

#include <vector>

#include "mp3_frames.h"

namespace {

struct frame_at {
    size_t offset;
    int size;
};

std::vector<frame_at> scan_whole(const uint8_t *data, size_t size) {
    std::vector<frame_at> out;
    size_t at = 0;
    for (;;) {
        mp3_step s = mp3_next_frame(data + at, size - at, true);
        if (s.kind == MP3_END) return out;
        if (s.kind != MP3_FRAME || s.skip > size - at) abort();
        out.push_back({at + s.skip, s.h.size});
        at += s.skip + static_cast<size_t>(s.h.size);
        if (at > size) abort();
    }
}

std::vector<frame_at> scan_windowed(const uint8_t *data, size_t size) {
    std::vector<frame_at> out;
    size_t base = 0;
    for (;;) {
        size_t n = base >= size ? 0 : size - base < MP3_MAX_PENDING ? size - base : MP3_MAX_PENDING;
        bool eof = base + n >= size;
        mp3_step s = mp3_next_frame(data + base, n, eof);
        if (s.kind == MP3_END) return out;
        if (s.kind == MP3_FRAME) {
            if (s.skip + static_cast<size_t>(s.h.size) > n) abort();
            out.push_back({base + s.skip, s.h.size});
            base += s.skip + static_cast<size_t>(s.h.size);
            continue;
        }
        if (eof || (s.skip <= n && n - s.skip >= MP3_MAX_PENDING)) abort();
        base += s.skip;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::vector<frame_at> whole = scan_whole(data, size);
    size_t end = 0;
    for (const auto &f : whole) {
        mp3_header h;
        if (f.offset < end || f.offset + 4 > size || !mp3_parse_header(data + f.offset, &h))
            abort();
        if (h.size != f.size || f.offset + static_cast<size_t>(f.size) > size) abort();
        end = f.offset + static_cast<size_t>(f.size);
    }
    std::vector<frame_at> windowed = scan_windowed(data, size);
    if (windowed.size() != whole.size()) abort();
    for (size_t i = 0; i < whole.size(); i++)
        if (windowed[i].offset != whole[i].offset || windowed[i].size != whole[i].size) abort();
    return 0;
}
