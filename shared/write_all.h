// write_all.h - a write that writes everything.
#pragma once

#include <stddef.h>

// Writes all len bytes of buf to fd, calling write again after a short
// write or a signal. Returns 0, or -1 with errno set by the failed write.
int write_all(int fd, const void *buf, size_t len);
