// retry_wait.cc - the back-off between failed receives.
#include "retry_wait.h"

namespace {
constexpr int FIRST_WAIT_MS = 8;
}  // namespace

int retry_wait_ms(int failures) {
    if (failures < 2) return 0;
    int wait = FIRST_WAIT_MS;
    for (int i = 2; i < failures && wait < RETRY_WAIT_MAX_MS; i++) wait *= 2;
    return wait < RETRY_WAIT_MAX_MS ? wait : RETRY_WAIT_MAX_MS;
}
