#include "app/outcome_notice.h"

namespace {

// The texts are code page 932 (Shift-JIS) bytes, handed unchanged to the ANSI
// message box, so they are spelled as escapes rather than as UTF-8 literals.
// Every byte of a sentence is escaped, even the ASCII ones ('I', 'o', 'B'):
// a \x escape swallows every hex digit after it, so "\x81" followed by a
// plain "B" would become the one (invalid) byte \x81B.
constexpr char kCaption[] = "Korvane Update";

// "Korvane Update は処理を正常に終了しました。"
constexpr char kSucceededText[] =
    "Korvane Update "
    "\x82\xCD\x8F\x88\x97\x9D\x82\xF0\x90\xB3\x8F\xED\x82\xC9\x8F\x49"
    "\x97\xB9\x82\xB5\x82\xDC\x82\xB5\x82\xBD\x81\x42";

// "Korvane Update は処理を正常に終了出来ませんでした。"
constexpr char kFailedText[] =
    "Korvane Update "
    "\x82\xCD\x8F\x88\x97\x9D\x82\xF0\x90\xB3\x8F\xED\x82\xC9\x8F\x49"
    "\x97\xB9\x8F\x6F\x97\x88\x82\xDC\x82\xB9\x82\xF1\x82\xC5\x82\xB5"
    "\x82\xBD\x81\x42";

static_assert(sizeof kCaption - 1 == 14 && sizeof kSucceededText - 1 == 43 && sizeof kFailedText - 1 == 51,
              "the notice texts have fixed byte lengths");

// Both outcomes show the information icon, a failure too.
// cppcheck-suppress badBitmaskCheck ; MB_OK is 0, and named for the reader
constexpr UINT kNoticeStyle = MB_OK | MB_ICONINFORMATION;

}  // namespace

void ShowOutcomeNotice(RepairOutcome outcome, MessageBoxAFunction messageBox) {
    const char* text = outcome == RepairOutcome::Succeeded ? kSucceededText : kFailedText;
    messageBox(nullptr, text, kCaption, kNoticeStyle);
}

int RunKorvaneUpdate(const RegistryApi& registry, MessageBoxAFunction messageBox) {
    // The repair has closed the key by the time it returns, so no handle is
    // held while the box waits for the user.
    ShowOutcomeNotice(RepairShellIconSize(registry), messageBox);
    return 0;
}
