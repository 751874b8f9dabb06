// regular_file.cc - opens regular files only, without ever blocking, and
// reads them at an offset.
#include "regular_file.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// What a file of this type is called in a report; null for a regular file.
const char *not_regular(mode_t mode) {
    if (S_ISREG(mode)) return nullptr;
    if (S_ISFIFO(mode)) return "a FIFO, not a regular file";
    if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device, not a regular file";
    if (S_ISSOCK(mode)) return "a socket, not a regular file";
    if (S_ISDIR(mode)) return "a folder, not a regular file";
    return "not a regular file";
}

}  // namespace

int open_regular(const std::string &path, std::string *why) {
    struct stat st;
    if (stat(path.c_str(), &st) < 0) {
        *why = strerror(errno);
        return -1;
    }
    if (const char *what = not_regular(st.st_mode)) {
        *why = what;
        errno = 0;
        return -1;
    }
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        *why = strerror(errno);
        return -1;
    }
    int err = fstat(fd, &st) < 0 ? errno : 0;
    const char *what = err ? strerror(err) : not_regular(st.st_mode);
    if (what) {
        *why = what;
        close(fd);
        errno = err;
        return -1;
    }
    return fd;
}

ssize_t read_at(int fd, uint8_t *buf, size_t n, off_t offset) {
    size_t done = 0;
    while (done < n) {
        ssize_t r = pread(fd, buf + done, n - done, offset + static_cast<off_t>(done));
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return -1;
        if (r == 0) break;
        done += static_cast<size_t>(r);
    }
    return static_cast<ssize_t>(done);
}
