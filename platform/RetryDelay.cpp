#include "platform/RetryDelay.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>

namespace {

constexpr std::chrono::milliseconds kDefaultRetryDelay{20000};
constexpr std::chrono::milliseconds kMinimumRetryDelay{1};
const char* const kRetryDelayVariable = "BROVA_RETRY_DELAY_MS";

}  // namespace

std::chrono::milliseconds RetryDelay() {
    const char* Text = std::getenv(kRetryDelayVariable);
    if (!Text || !*Text) return kDefaultRetryDelay;
    char* End = nullptr;
    errno = 0;
    const long long Value = std::strtoll(Text, &End, 10);
    // Anything but a plain non-negative number keeps the default.
    if (errno != 0 || *End != '\0' || Value < 0) return kDefaultRetryDelay;
    // Never zero: a gateway that keeps failing must not be hammered in a tight loop.
    return std::max(kMinimumRetryDelay, std::chrono::milliseconds(Value));
}
