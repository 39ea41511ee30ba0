// The wait between attempts of the retried operations (gateway submissions, status and reply
// appends).
#pragma once

#include <chrono>

// 20 000 ms, or the whole number of milliseconds in the environment variable
// BROVA_RETRY_DELAY_MS when that is set to one (tests shorten the waits with it; 0 counts as 1).
// Read anew on every call, so a test may set it at any time. Any thread.
std::chrono::milliseconds RetryDelay();
