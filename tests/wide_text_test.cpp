// Windows names as the library carries them: every UTF-16 name, unpaired surrogates
// included, converts to bytes and back unchanged.
#include "platform/wide_text_windows.h"

#include <gtest/gtest.h>

namespace velmora::platform {
namespace {

TEST(WideText, EveryNameRoundTrips) {
    const std::wstring names[] = {L"", L"QXDVRa.dll", L"\uCE74\uBA54\uB77C-\u011F", L"\U0001F4F7 cam",
                                  std::wstring(1, wchar_t(0xD800)) + L"x", L"y" + std::wstring(1, wchar_t(0xDFFF))};
    for (const std::wstring& name : names) EXPECT_EQ(Widen(Narrow(name)), name);
    EXPECT_EQ(Narrow(L"\uCE74\u011F"), "\xEC\xB9\xB4\xC4\x9F");
}

TEST(WideText, BytesThatAreNoCharacterBecomeReplacements) {
    const std::pair<std::string, std::wstring> cases[] = {
        {"a\xFF" "b", L"a\uFFFDb"},       {"\xC0\xAF", L"\uFFFD\uFFFD"},  // overlong
        {"\xE2\x82", L"\uFFFD\uFFFD"},    {"\xF4\x90\x80\x80", L"\uFFFD\uFFFD\uFFFD\uFFFD"},
        {"\xE2\x82\xAC", L"\u20AC"},
    };
    for (const auto& [bytes, wide] : cases) EXPECT_EQ(Widen(bytes), wide) << bytes;
}

}  // namespace
}  // namespace velmora::platform
