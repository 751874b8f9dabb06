// retry_wait.h - how long the client waits before it tries a receive again
// after receives have failed in a row.
#pragma once

// The longest wait between two failed receives, in milliseconds.
constexpr int RETRY_WAIT_MAX_MS = 1000;

// The wait in milliseconds before the next receive, after failures
// receives in a row have failed (0 after a success). One failure between
// good receives costs nothing; from the second on the wait doubles from
// 8 ms up to RETRY_WAIT_MAX_MS, so a receive that keeps failing is tried
// (and reported) about once a second.
int retry_wait_ms(int failures);
