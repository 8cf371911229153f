#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <ostream>
#include <string>

#include "repair/repair.h"
#include "tests/unit/scripted_platform.h"

namespace {

struct ConversionCase {
    const char* what;
    Bytes bytes;
    std::int32_t expected;
};

std::ostream& operator<<(std::ostream& out, const ConversionCase& row) {
    return out << row.what << " [" << HexOf(row.bytes) << "]";
}

Bytes Repeat(std::uint8_t byte, std::size_t count) { return Bytes(count, byte); }

Bytes Join(Bytes head, const Bytes& tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

constexpr std::int32_t kInt32Min = std::numeric_limits<std::int32_t>::min();
constexpr std::int32_t kInt32Max = std::numeric_limits<std::int32_t>::max();

class ParseIconSizeTextTest : public testing::TestWithParam<ConversionCase> {};

TEST_P(ParseIconSizeTextTest, ConvertsLikeTheSetting) {
    const ConversionCase& row = GetParam();
    // A heap buffer of exactly the delivered count: any read past it is caught
    // by AddressSanitizer in the sanitizer build.
    auto* bytes = new std::uint8_t[row.bytes.size() + (row.bytes.empty() ? 1 : 0)];
    std::copy(row.bytes.begin(), row.bytes.end(), bytes);
    EXPECT_EQ(ParseIconSizeText(bytes, static_cast<std::uint32_t>(row.bytes.size())), row.expected) << row;
    delete[] bytes;
}

INSTANTIATE_TEST_SUITE_P(
    Text, ParseIconSizeTextTest,
    testing::Values(
        ConversionCase{"32", {0x33, 0x32, 0x00}, 32},
        ConversionCase{"0", {0x30, 0x00}, 0},
        ConversionCase{"no bytes at all", {}, 0},
        ConversionCase{"NUL alone", {0x00}, 0},
        ConversionCase{"blanks only", {0x20, 0x20, 0x00}, 0},
        ConversionCase{"letters only", BytesOf("abc"), 0},
        ConversionCase{"lone plus", {0x2B, 0x00}, 0},
        ConversionCase{"lone minus", {0x2D, 0x00}, 0},
        ConversionCase{"plus zero", BytesOf("+0"), 0},
        ConversionCase{"minus zero", BytesOf("-0"), 0},
        ConversionCase{"two zeros", BytesOf("00"), 0},
        ConversionCase{"hexadecimal-looking", BytesOf("0x20"), 0},
        ConversionCase{"digits then letters", BytesOf("32px"), 32},
        ConversionCase{"minus one", BytesOf("-1"), -1},
        ConversionCase{"plus sign", BytesOf("+48"), 48},
        ConversionCase{"two signs", BytesOf("+-1"), 0},
        ConversionCase{"blank between sign and digits", BytesOf("- 1"), 0},
        ConversionCase{"trailing blank and digits ignored", BytesOf("16 32"), 16}));

INSTANTIATE_TEST_SUITE_P(
    WhiteSpace, ParseIconSizeTextTest,
    testing::Values(ConversionCase{"tab", BytesOf("\t16"), 16},
                    ConversionCase{"line feed", BytesOf("\n16"), 16},
                    ConversionCase{"vertical tab", BytesOf("\v16"), 16},
                    ConversionCase{"form feed", BytesOf("\f16"), 16},
                    ConversionCase{"carriage return", BytesOf("\r16"), 16},
                    ConversionCase{"space", BytesOf(" 48"), 48},
                    ConversionCase{"all six, then a sign", BytesOf("\t\n\v\f\r -7"), -7},
                    ConversionCase{"byte 08 is not blank", {0x08, 0x31}, 0},
                    ConversionCase{"byte 0E is not blank", {0x0E, 0x31}, 0},
                    ConversionCase{"byte 1F is not blank", {0x1F, 0x31}, 0},
                    ConversionCase{"byte 85 is not blank", {0x85, 0x31}, 0},
                    ConversionCase{"byte A0 is not blank", {0xA0, 0x31}, 0}));

INSTANTIATE_TEST_SUITE_P(
    HighBytes, ParseIconSizeTextTest,
    testing::Values(ConversionCase{"80 before digits", {0x80, 0x33, 0x32}, 0},
                    ConversionCase{"FF before digits", {0xFF, 0x33, 0x32}, 0},
                    ConversionCase{"B2 ends the digits", {0x33, 0xB2, 0x32}, 3},
                    ConversionCase{"full-width digits are not digits", {0x82, 0x52, 0x82, 0x51}, 0},
                    ConversionCase{"FF after the sign", {0x2D, 0xFF, 0x31}, 0}));

INSTANTIATE_TEST_SUITE_P(
    Ends, ParseIconSizeTextTest,
    testing::Values(ConversionCase{"NUL ends the text", {0x31, 0x00, 0x32}, 1},
                    ConversionCase{"NUL before the digits", {0x00, 0x33, 0x32}, 0},
                    ConversionCase{"NUL after the blanks", {0x20, 0x00, 0x35}, 0},
                    ConversionCase{"NUL after the sign", {0x2D, 0x00, 0x35}, 0},
                    ConversionCase{"no NUL at all", BytesOf("123"), 123},
                    ConversionCase{"REG_DWORD 32 is one blank", {0x20, 0x00, 0x00, 0x00}, 0},
                    ConversionCase{"REG_DWORD 49 is a one", {0x31, 0x00, 0x00, 0x00}, 1},
                    ConversionCase{"256 bytes, no NUL", Join(Repeat('0', 255), {'1'}), 1},
                    ConversionCase{"256 blanks, no NUL", Repeat(' ', 256), 0},
                    ConversionCase{"255 blanks and a digit", Join(Repeat(' ', 255), {'9'}), 9}));

INSTANTIATE_TEST_SUITE_P(
    Wrapping, ParseIconSizeTextTest,
    testing::Values(ConversionCase{"2^31 - 1", BytesOf("2147483647"), kInt32Max},
                    ConversionCase{"2^31", BytesOf("2147483648"), kInt32Min},
                    ConversionCase{"-2^31", BytesOf("-2147483648"), kInt32Min},
                    ConversionCase{"-2^31 - 1", BytesOf("-2147483649"), kInt32Max},
                    ConversionCase{"2^32 - 1", BytesOf("4294967295"), -1},
                    ConversionCase{"2^32", BytesOf("4294967296"), 0},
                    ConversionCase{"2^32 + 32", BytesOf("4294967328"), 32},
                    ConversionCase{"-(2^32 + 32)", BytesOf("-4294967328"), -32},
                    ConversionCase{"10^20", BytesOf("100000000000000000000"), 1661992960},
                    ConversionCase{"many leading zeros", Join(Repeat('0', 200), BytesOf("32")), 32}));

TEST(ParseIconSizeText, StopsAtTheCountWhateverFollows) {
    const Bytes bytes = BytesOf("123456");
    EXPECT_EQ(ParseIconSizeText(bytes.data(), 2), 12);
    EXPECT_EQ(ParseIconSizeText(bytes.data(), 0), 0);
    EXPECT_EQ(ParseIconSizeText(nullptr, 0), 0);
}

}  // namespace
