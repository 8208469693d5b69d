// Windows names as the library carries them: every UTF-16 name, unpaired surrogates
// included, converts to bytes and back unchanged.
#include "platform/wide_text_windows.h"

#include <gtest/gtest.h>

#include <windows.h>

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

// The ordinary form while it is short enough for every W function, else the full form
// that starts with \\?\ and that the system takes literally.
TEST(WideText, LongPathsTakeTheFormWithoutALengthLimit) {
    const std::string x(300, 'x'), y(150, 'y');
    const std::wstring wx(300, L'x'), wy(150, L'y');
    wchar_t current[1024];
    const std::wstring cwd(current, GetCurrentDirectoryW(1024, current));
    const std::pair<std::string, std::wstring> cases[] = {
        {"a\\b", L"a\\b"},
        {"C:\\" + x, L"\\\\?\\C:\\" + wx},
        {"C:\\" + y + "\\\\" + y + "/.\\" + y, L"\\\\?\\C:\\" + wy + L"\\" + wy + L"\\" + wy},
        {"\\\\server\\share\\" + x, L"\\\\?\\UNC\\server\\share\\" + wx},
        {"\\\\?\\C:\\" + y + "\\..\\" + y, L"\\\\?\\C:\\" + wy + L"\\..\\" + wy},
        {"rel\\" + x, L"\\\\?\\" + cwd + L"\\rel\\" + wx},
        {"C:\\\xEC\xB9\xB4" + x, L"\\\\?\\C:\\\uCE74" + wx},
    };
    for (const auto& [path, wide] : cases) EXPECT_EQ(SystemPath(path), wide) << path;
    EXPECT_EQ(FullSystemPath("rel"), cwd + L"\\rel");
}

}  // namespace
}  // namespace velmora::platform
