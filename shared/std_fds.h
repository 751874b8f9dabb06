// std_fds.h - standard descriptors that a program was started without.
#pragma once

// Points descriptors 0, 1 and 2 that are closed at /dev/null, so that no
// socket, pipe or file opened later takes their numbers. Returns 0, or -1
// (errno set) when one cannot be opened.
int open_missing_std_fds();
