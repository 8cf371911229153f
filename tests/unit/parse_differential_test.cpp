// ParseIconSizeText against an oracle written another way, over a million
// random inputs biased toward what matters: digits, signs, white space, NULs
// and bytes 80 to FF. Each input sits in a heap buffer of exactly its length,
// so the sanitizer build catches any read past the count.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <random>

#include "repair/repair.h"
#include "tests/unit/scripted_platform.h"

namespace {

constexpr std::uint32_t kSeed = 0x4B6F7276;
constexpr int kInputs = 1000000;
constexpr std::uint32_t kLongest = 300;

// Finds the text's end first, then walks it with 64-bit accumulation, which
// wraps modulo 2^64 and so stays right modulo 2^32 when reduced at the end.
std::int32_t Oracle(const std::uint8_t* bytes, std::uint32_t count) {
    const auto* nul = static_cast<const std::uint8_t*>(count == 0 ? nullptr : std::memchr(bytes, 0, count));
    const std::uint8_t* end = nul != nullptr ? nul : bytes + count;
    const std::uint8_t* at =
        std::find_if(bytes, end, [](std::uint8_t byte) { return std::strchr("\t\n\v\f\r ", byte) == nullptr; });
    bool negative = false;
    if (at != end && (*at == '+' || *at == '-')) {
        negative = *at++ == '-';
    }
    std::uint64_t value = 0;
    for (; at != end && std::strchr("0123456789", *at) != nullptr; ++at) {
        value = value * 10 + (*at - '0');
    }
    std::int64_t low = static_cast<std::int64_t>(value % 4294967296u);
    low = negative ? (4294967296 - low) % 4294967296 : low;
    return static_cast<std::int32_t>(low >= 2147483648 ? low - 4294967296 : low);
}

// One draw per byte: its low bits pick the kind of byte, the rest pick which.
std::uint8_t RandomByte(std::mt19937& random) {
    static const char kBlanks[] = "\t\n\v\f\r ";
    const std::uint32_t draw = random();
    const std::uint32_t kind = draw % 100;
    const std::uint32_t pick = draw >> 8;
    if (kind < 45) return static_cast<std::uint8_t>('0' + pick % 10);
    if (kind < 57) return static_cast<std::uint8_t>(kBlanks[pick % 6]);
    if (kind < 65) return pick % 2 ? '+' : '-';
    if (kind < 70) return 0;
    if (kind < 82) return static_cast<std::uint8_t>(0x80 + pick % 0x80);
    return static_cast<std::uint8_t>(pick % 0x80);
}

// Half the inputs are random bytes; half are shaped like a setting (blanks,
// a sign, digits, then anything), so that long digit runs are common.
std::vector<std::uint8_t> RandomInput(std::mt19937& random) {
    std::vector<std::uint8_t> input(random() % (kLongest + 1));
    for (std::uint8_t& byte : input) {
        byte = RandomByte(random);
    }
    if (random() % 2 && !input.empty()) {
        std::size_t at = random() % 4;
        for (std::size_t blanks = at; blanks > 0 && blanks <= input.size(); --blanks) input[blanks - 1] = ' ';
        if (at < input.size() && random() % 2) input[at++] = random() % 2 ? '+' : '-';
        const std::size_t digits = random() % 25;
        for (std::size_t i = 0; i < digits && at < input.size(); ++i) input[at++] = '0' + random() % 10;
    }
    return input;
}

TEST(ParseIconSizeTextDifferential, AgreesWithTheOracleOnAMillionInputs) {
    std::mt19937 random(kSeed);
    for (int i = 0; i < kInputs; ++i) {
        const std::vector<std::uint8_t> input = RandomInput(random);
        const auto count = static_cast<std::uint32_t>(input.size());
        const std::unique_ptr<std::uint8_t[]> exact(new std::uint8_t[count]);
        std::copy(input.begin(), input.end(), exact.get());
        const std::int32_t expected = Oracle(exact.get(), count);
        const std::int32_t actual = ParseIconSizeText(exact.get(), count);
        ASSERT_EQ(actual, expected) << "seed " << kSeed << ", input " << i << " [" << HexOf(input) << "]";
    }
}

}  // namespace
