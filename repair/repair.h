// Repair of the current user's "Shell Icon Size" setting: when the value's
// text converts to zero, it is rewritten as the REG_SZ text "32".
// Nothing here throws.
#pragma once

#include <cstdint>

#include "repair/registry_api.h"

enum class RepairOutcome : std::uint8_t {
    Succeeded,  // processing finished normally, whether or not anything was written
    Failed,     // the key could not be opened with full access, or the write failed
};

// Converts decimal text to a signed 32-bit number the way the setting is read:
// the text ends at the first NUL or after `count` bytes, whichever comes
// first; leading white space (bytes 09-0D and 20) is skipped, one '+' or '-'
// is taken, then decimal digits up to the first non-digit, in arithmetic that
// wraps modulo 2^32. No digits there gives 0. Depends on no locale, never reads
// past `count` bytes, and `bytes` may be null when `count` is 0.
std::int32_t ParseIconSizeText(const std::uint8_t* bytes, std::uint32_t count);

// Opens HKCU "Control Panel\desktop\windowmetrics" with KEY_ALL_ACCESS, reads
// "Shell Icon Size" into 256 bytes and, when the read succeeds and its text
// converts to zero, writes "32" as REG_SZ. The key is closed exactly once
// whenever the open succeeded. Only a failed open or a failed write gives
// Failed; a failed read means there is nothing to repair.
RepairOutcome RepairShellIconSize(const RegistryApi& registry);
