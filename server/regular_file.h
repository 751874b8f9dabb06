// regular_file.h - opening a music file so that nothing can block the server
// (only a regular file is opened, and never in a way that waits), and
// reading it at an offset.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include <string>

// Opens path for reading when it is a regular file: checked by stat before
// the open (opening a device may do something) and by fstat after it (the
// name may have been swapped meanwhile), opened with O_NONBLOCK so that a
// FIFO put there in between cannot hang the open. The descriptor, or -1
// with *why set ("a FIFO, not a regular file", or the system's reason) and
// errno the system's error (0 for a file that is no regular file).
int open_regular(const std::string &path, std::string *why);

// Reads up to n bytes of fd at offset, through interruptions; the count
// read (less than n only at the end of the file), or -1 with errno set.
ssize_t read_at(int fd, uint8_t *buf, size_t n, off_t offset);
