#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "repair/repair.h"
#include "tests/unit/scripted_platform.h"

namespace {

using Names = std::vector<std::string>;

const Names kReadOnly = {"RegOpenKeyExA", "RegQueryValueExA", "RegCloseKey"};
const Names kRewrite = {"RegOpenKeyExA", "RegQueryValueExA", "RegSetValueExA", "RegCloseKey"};
const Names kOpenOnly = {"RegOpenKeyExA"};

const char* NameOf(RepairOutcome outcome) { return outcome == RepairOutcome::Succeeded ? "Succeeded" : "Failed"; }

TEST(RepairShellIconSize, PassesExactlyTheExpectedArgumentsInOrder) {
    ScriptedPlatform platform({.value = BytesOf(std::string("0\0", 2))});

    EXPECT_EQ(RepairShellIconSize(ScriptedPlatform::Registry()), RepairOutcome::Succeeded);

    ASSERT_EQ(platform.CallNames(), kRewrite);
    const PlatformCall& open = platform.Calls()[0];
    EXPECT_EQ(open.key, HKEY_CURRENT_USER);
    EXPECT_EQ(HexOf(BytesOf(open.name)), HexOf(BytesOf("Control Panel\\desktop\\windowmetrics")));
    EXPECT_EQ(open.options, 0u);
    EXPECT_EQ(open.access, 0xF003Fu);

    const PlatformCall& query = platform.Calls()[1];
    EXPECT_EQ(query.key, ScriptedKey());
    EXPECT_EQ(query.name, "Shell Icon Size");
    EXPECT_TRUE(query.reservedPointerNull);
    EXPECT_TRUE(query.typePointerGiven);
    EXPECT_EQ(query.sizeIn, 256u);

    const PlatformCall& set = platform.Calls()[2];
    EXPECT_EQ(set.key, ScriptedKey());
    EXPECT_EQ(set.name, "Shell Icon Size");
    EXPECT_EQ(set.reserved, 0u);
    EXPECT_EQ(set.type, 1u);  // REG_SZ
    EXPECT_EQ(HexOf(set.data), "33 32 00");  // the count passed is the size of these bytes: 3

    EXPECT_EQ(platform.Calls()[3].key, ScriptedKey());
}

// What the procedure does for each way the registry can answer.
struct FailureCase {
    const char* situation;
    PlatformScript script;
    Names calls;
    RepairOutcome outcome;
};

std::ostream& operator<<(std::ostream& out, const FailureCase& row) { return out << row.situation; }

class RepairFailureTableTest : public testing::TestWithParam<FailureCase> {};

TEST_P(RepairFailureTableTest, CallsAndOutcome) {
    const FailureCase& row = GetParam();
    ScriptedPlatform platform(row.script);

    const RepairOutcome outcome = RepairShellIconSize(ScriptedPlatform::Registry());

    EXPECT_EQ(NameOf(outcome), NameOf(row.outcome)) << row.situation;
    EXPECT_EQ(platform.CallNames(), row.calls) << row.situation;
}

const Bytes kZero = BytesOf(std::string("0\0", 2));
const Bytes kThirtyTwo = BytesOf(std::string("32\0", 3));

INSTANTIATE_TEST_SUITE_P(
    Rows, RepairFailureTableTest,
    testing::Values(
        FailureCase{"key missing", {.openStatus = ERROR_FILE_NOT_FOUND}, kOpenOnly, RepairOutcome::Failed},
        FailureCase{"key access denied", {.openStatus = ERROR_ACCESS_DENIED}, kOpenOnly, RepairOutcome::Failed},
        FailureCase{"key open, other error", {.openStatus = 1234}, kOpenOnly, RepairOutcome::Failed},
        FailureCase{"value absent", {.queryStatus = ERROR_FILE_NOT_FOUND}, kReadOnly, RepairOutcome::Succeeded},
        FailureCase{"value longer than 256 bytes", {.value = Bytes(257, '0')}, kReadOnly,
                    RepairOutcome::Succeeded},
        FailureCase{"read access denied", {.queryStatus = ERROR_ACCESS_DENIED}, kReadOnly,
                    RepairOutcome::Succeeded},
        FailureCase{"read, other error", {.queryStatus = 1234}, kReadOnly, RepairOutcome::Succeeded},
        FailureCase{"positive number", {.value = kThirtyTwo}, kReadOnly, RepairOutcome::Succeeded},
        FailureCase{"negative number", {.value = BytesOf("-1")}, kReadOnly, RepairOutcome::Succeeded},
        FailureCase{"zero, write succeeds", {.value = kZero}, kRewrite, RepairOutcome::Succeeded},
        FailureCase{"zero, write refused", {.value = kZero, .setStatus = ERROR_ACCESS_DENIED}, kRewrite,
                    RepairOutcome::Failed},
        FailureCase{"zero, write fails otherwise", {.value = kZero, .setStatus = 1234}, kRewrite,
                    RepairOutcome::Failed},
        FailureCase{"exactly 256 bytes is read", {.value = Bytes(256, '0')}, kRewrite, RepairOutcome::Succeeded},
        // The rest of the buffer holds digits: parsing past the delivered
        // count would read "0999..." and skip the repair.
        FailureCase{"one byte \"0\" without NUL", {.value = {'0'}}, kRewrite, RepairOutcome::Succeeded},
        FailureCase{"no bytes at all", {.value = {}}, kRewrite, RepairOutcome::Succeeded},
        FailureCase{"REG_DWORD 32 reads as a blank", {.value = {0x20, 0, 0, 0}}, kRewrite, RepairOutcome::Succeeded},
        // A read that claims more than the buffer holds is parsed no further
        // than the buffer (AddressSanitizer guards the bound).
        FailureCase{"read reports more than the buffer", {.value = Bytes(256, '0'), .reportedSize = 4096},
                    kRewrite, RepairOutcome::Succeeded}));

TEST(RepairShellIconSize, ClosesTheKeyItOpenedAndNoOther) {
    for (const LONG setStatus : {ERROR_SUCCESS, ERROR_ACCESS_DENIED}) {
        ScriptedPlatform platform({.value = kZero, .setStatus = setStatus});
        RepairShellIconSize(ScriptedPlatform::Registry());
        ASSERT_EQ(platform.CountOf("RegCloseKey"), 1) << "write status " << setStatus;
        EXPECT_EQ(platform.Calls().back().function, "RegCloseKey");
        EXPECT_EQ(platform.Calls().back().key, ScriptedKey());
    }
}

}  // namespace
