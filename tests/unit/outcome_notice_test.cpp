#include <gtest/gtest.h>
#include <iconv.h>

#include <cstring>
#include <string>
#include <vector>

#include "app/outcome_notice.h"
#include "tests/unit/scripted_platform.h"

namespace {

// Decodes code page 932 bytes to UTF-8 with the C library's converter, which
// shares no code with how the texts were written.
std::string Cp932ToUtf8(const std::string& cp932) {
    iconv_t converter = iconv_open("UTF-8", "CP932");
    if (converter == reinterpret_cast<iconv_t>(-1)) {
        return "(no CP932 converter)";
    }
    std::string in = cp932;
    std::vector<char> out(in.size() * 4 + 4);
    char* inPointer = in.data();
    char* outPointer = out.data();
    std::size_t inLeft = in.size();
    std::size_t outLeft = out.size();
    const std::size_t converted = iconv(converter, &inPointer, &inLeft, &outPointer, &outLeft);
    iconv_close(converter);
    if (converted == static_cast<std::size_t>(-1) || inLeft != 0) {
        return "(not valid CP932)";
    }
    return std::string(out.data(), outPointer);
}

struct NoticeCase {
    const char* what;
    PlatformScript script;
    const char* textHex;  // the exact code page 932 bytes, without the NUL
    std::size_t length;
    const char* japanese;  // what those bytes say, in UTF-8
};

std::ostream& operator<<(std::ostream& out, const NoticeCase& row) { return out << row.what; }

const char kCaptionHex[] = "4B 6F 72 76 61 6E 65 20 55 70 64 61 74 65";
const char kSucceededHex[] =
    "4B 6F 72 76 61 6E 65 20 55 70 64 61 74 65 20 "
    "82 CD 8F 88 97 9D 82 F0 90 B3 8F ED 82 C9 8F 49 97 B9 82 B5 82 DC 82 B5 82 BD 81 42";
const char kFailedHex[] =
    "4B 6F 72 76 61 6E 65 20 55 70 64 61 74 65 20 "
    "82 CD 8F 88 97 9D 82 F0 90 B3 8F ED 82 C9 8F 49 97 B9 8F 6F 97 88 82 DC 82 B9 82 F1 82 C5 82 B5 82 BD 81 42";
const char kSucceededJapanese[] = "Korvane Update は処理を正常に終了しました。";
const char kFailedJapanese[] = "Korvane Update は処理を正常に終了出来ませんでした。";

const Bytes kZero = {'0', 0};

class RunKorvaneUpdateTest : public testing::TestWithParam<NoticeCase> {};

TEST_P(RunKorvaneUpdateTest, ShowsOneBoxWithTheOutcomesTextAndReturnsZero) {
    const NoticeCase& row = GetParam();
    ScriptedPlatform platform(row.script);

    EXPECT_EQ(RunKorvaneUpdate(ScriptedPlatform::Registry(), ScriptedPlatform::MessageBox()), 0);

    ASSERT_EQ(platform.CountOf("MessageBoxA"), 1);
    const PlatformCall& box = platform.Calls().back();
    ASSERT_EQ(box.function, "MessageBoxA") << "the box comes last, after the key is closed";
    EXPECT_EQ(box.owner, nullptr);
    EXPECT_EQ(box.style, 0x40u);  // MB_OK | MB_ICONINFORMATION
    EXPECT_EQ(HexOf(BytesOf(box.caption)), kCaptionHex);
    EXPECT_EQ(HexOf(BytesOf(box.text)), row.textHex);
    EXPECT_EQ(box.text.size(), row.length);
    EXPECT_EQ(Cp932ToUtf8(box.text), row.japanese);
    // The key, whenever opened, is closed before the box goes up.
    EXPECT_EQ(platform.CountOf("RegCloseKey"), platform.CountOf("RegOpenKeyExA") - (row.script.openStatus ? 1 : 0));
}

INSTANTIATE_TEST_SUITE_P(
    Outcomes, RunKorvaneUpdateTest,
    testing::Values(
        NoticeCase{"value left alone", {.value = BytesOf("32")}, kSucceededHex, 43, kSucceededJapanese},
        NoticeCase{"value absent", {.queryStatus = ERROR_FILE_NOT_FOUND}, kSucceededHex, 43, kSucceededJapanese},
        NoticeCase{"value rewritten", {.value = kZero}, kSucceededHex, 43, kSucceededJapanese},
        NoticeCase{"key missing", {.openStatus = ERROR_FILE_NOT_FOUND}, kFailedHex, 51, kFailedJapanese},
        NoticeCase{"write refused", {.value = kZero, .setStatus = ERROR_ACCESS_DENIED}, kFailedHex, 51,
                   kFailedJapanese}));

TEST(ShowOutcomeNotice, EachOutcomeSelectsItsOwnText) {
    ScriptedPlatform platform({});
    ShowOutcomeNotice(RepairOutcome::Succeeded, ScriptedPlatform::MessageBox());
    ShowOutcomeNotice(RepairOutcome::Failed, ScriptedPlatform::MessageBox());

    ASSERT_EQ(platform.CallNames(), (std::vector<std::string>{"MessageBoxA", "MessageBoxA"}));
    EXPECT_EQ(HexOf(BytesOf(platform.Calls()[0].text)), kSucceededHex);
    EXPECT_EQ(HexOf(BytesOf(platform.Calls()[1].text)), kFailedHex);
    EXPECT_EQ(platform.Calls()[0].caption, platform.Calls()[1].caption);
}

}  // namespace
