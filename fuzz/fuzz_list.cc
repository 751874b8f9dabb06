// fuzz_list.cc - any datagram through the list phase: classify it, and walk
// and print it when it is a list. The walk must stay inside the datagram and
// print what the entry iterator yields, entry for entry.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "proto.h"
#include "stream.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > MSG_MAX_SIZE) return 0;  // a receive never yields more
    if (list_classify(data, size) != LIST_ACCEPTED) return 0;

    char *text = nullptr;
    size_t text_len = 0;
    FILE *out = open_memstream(&text, &text_len);
    if (!out) return 0;
    int printed = list_print(data, size, out);
    fclose(out);

    // The same walk by hand: every entry lies inside the datagram, and the
    // printed text is exactly the entries' lines.
    size_t pos = 1, expect_len = 0;
    int entries = 0;
    list_entry_view e;
    while (list_next_entry(data, size, &pos, &e) == 1) {
        const char *desc_end = e.desc + strlen(e.desc);
        if (e.desc < reinterpret_cast<const char *>(data) + 4 ||
            desc_end >= reinterpret_cast<const char *>(data) + size || pos > size)
            abort();
        expect_len += static_cast<size_t>(snprintf(nullptr, 0, "channel:%d%s", e.chnid, e.desc));
        entries++;
    }
    if (printed != entries || text_len != expect_len) abort();
    free(text);
    return 0;
}
