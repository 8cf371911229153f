#include "repair/repair.h"

namespace {

// The C locale's white space, spelled out so that no locale can change it.
bool IsBlank(std::uint8_t byte) { return (byte >= 0x09 && byte <= 0x0D) || byte == 0x20; }

bool IsDigit(std::uint8_t byte) { return byte >= '0' && byte <= '9'; }

}  // namespace

std::int32_t ParseIconSizeText(const std::uint8_t* bytes, std::uint32_t count) {
    // A NUL is neither blank, sign nor digit, so each loop below stops at the
    // first one as well as at the end of the delivered bytes.
    std::uint32_t at = 0;
    while (at < count && IsBlank(bytes[at])) {
        ++at;
    }
    bool negative = false;
    if (at < count && (bytes[at] == '+' || bytes[at] == '-')) {
        negative = bytes[at] == '-';
        ++at;
    }
    // Unsigned arithmetic wraps modulo 2^32 without undefined behaviour.
    std::uint32_t value = 0;
    for (; at < count && IsDigit(bytes[at]); ++at) {
        value = value * 10U + static_cast<std::uint32_t>(bytes[at] - '0');
    }
    if (negative) {
        value = 0U - value;
    }
    return static_cast<std::int32_t>(value);  // modular since C++20
}
