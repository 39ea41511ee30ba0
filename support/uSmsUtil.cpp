#include "support/uSmsUtil.h"

namespace {

constexpr size_t kMinCellNoLength = 9;
constexpr size_t kMinInternationalDigits = 9;  // "27" and the number
constexpr size_t kMinNationalDigits = 8;       // "0" and the number

}  // namespace

bool IsAllDigits(const std::string& Text) {
    for (char c : Text)
        if (c < '0' || c > '9') return false;
    return true;
}

uint8_t ClassifyCellNo(const std::string& Text) {
    if (Text.size() < kMinCellNoLength) return 0;
    std::string digits = Text[0] == '+' ? Text.substr(1) : Text;
    if (!IsAllDigits(digits)) return 0;
    if (digits.compare(0, 2, "27") == 0 && digits.size() >= kMinInternationalDigits) return 1;
    if (digits.compare(0, 1, "0") == 0 && digits.size() >= kMinNationalDigits) return 1;
    return 2;
}
