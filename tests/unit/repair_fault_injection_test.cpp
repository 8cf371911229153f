// Every combination of status for the open, the read and the write, with
// data that needs repair and data that does not, against the invariants that
// must hold whatever the registry answers.
#include <gtest/gtest.h>

#include <string>

#include "repair/repair.h"
#include "tests/unit/scripted_platform.h"

namespace {

const LONG kStatuses[] = {ERROR_SUCCESS,         ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED,
                          ERROR_MORE_DATA,       ERROR_INVALID_HANDLE, 0x7EADBEEF};

struct Data {
    const char* name;
    Bytes bytes;
    bool needsRepair;
};

const Data kData[] = {{"zero", {'0', 0}, true}, {"thirty-two", {'3', '2', 0}, false}};

void CheckInvariants(LONG openStatus, LONG queryStatus, LONG setStatus, const Data& data) {
    ScriptedPlatform platform({.openStatus = openStatus, .queryStatus = queryStatus, .value = data.bytes,
                               .setStatus = setStatus});
    const std::string where = "open " + std::to_string(openStatus) + ", read " + std::to_string(queryStatus) +
                              ", write " + std::to_string(setStatus) + ", data " + data.name;

    const RepairOutcome outcome = RepairShellIconSize(ScriptedPlatform::Registry());

    const std::vector<PlatformCall>& calls = platform.Calls();
    ASSERT_FALSE(calls.empty()) << where;
    EXPECT_EQ(calls.front().function, "RegOpenKeyExA") << where;
    EXPECT_EQ(platform.CountOf("RegOpenKeyExA"), 1) << where;

    if (openStatus != ERROR_SUCCESS) {
        EXPECT_EQ(calls.size(), 1u) << where << ": nothing at all may follow a failed open";
        EXPECT_EQ(outcome, RepairOutcome::Failed) << where;
        return;
    }

    EXPECT_EQ(platform.CountOf("RegCloseKey"), 1) << where;
    EXPECT_EQ(calls.back().function, "RegCloseKey") << where << ": the close comes last";
    EXPECT_EQ(calls.back().key, ScriptedKey()) << where;
    EXPECT_EQ(platform.CountOf("RegQueryValueExA"), 1) << where;

    const bool writeDue = queryStatus == ERROR_SUCCESS && data.needsRepair;
    EXPECT_EQ(platform.CountOf("RegSetValueExA"), writeDue ? 1 : 0) << where;
    for (const PlatformCall& call : calls) {
        if (call.function == "RegSetValueExA") {
            EXPECT_EQ(call.type, 1u) << where << ": REG_SZ";
            EXPECT_EQ(HexOf(call.data), "33 32 00") << where;
        }
    }

    const bool failed = writeDue && setStatus != ERROR_SUCCESS;
    EXPECT_EQ(outcome, failed ? RepairOutcome::Failed : RepairOutcome::Succeeded) << where;
}

TEST(RepairFaultInjection, EveryCombinationKeepsEveryInvariant) {
    for (const LONG openStatus : kStatuses) {
        for (const LONG queryStatus : kStatuses) {
            for (const LONG setStatus : kStatuses) {
                for (const Data& data : kData) {
                    CheckInvariants(openStatus, queryStatus, setStatus, data);
                }
            }
        }
    }
}

}  // namespace
