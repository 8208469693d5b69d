// The select-server dialog, driven as a user drives it. A timer of the test thread runs
// inside the dialog's modal loop and plays one step per tick, so the loop has handled what
// a step typed or posted before the next step looks. Keys are typed with SendInput.
#include "core/server_types.h"
#include "ui/select_server_dialog.h"

#include "test_support.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace velmora {
namespace {

const wchar_t kCaption[] = L"\u9009\u62e9\u670d\u52a1\u5668";
const wchar_t kOkCaption[] = L"\u786e\u5b9a";
const wchar_t kExitCaption[] = L"\u9000\u51fa";
const wchar_t kFontFace[] = L"\u5b8b\u4f53";
// A built-in display name, as code-page-936 bytes and as text.
const char kBuiltInName[] = "\xBA\xA3\xBF\xB5\xC7\xB6\xC8\xEB\xCA\xBD";
const wchar_t kBuiltInText[] = L"\u6d77\u5eb7\u5d4c\u5165\u5f0f";
const std::vector<std::string> kThreeNames = {kBuiltInName, "Beta", "Gamma"};

const UINT kTickMilliseconds = 10;
// A dialog still open this long after the call failed its test and is closed.
const DWORD kWatchdogMilliseconds = 5000;
const int kWatchdogExitCode = 0x5744;

int Scaled(int pixelsAt96Dpi) {
    HDC screen = GetDC(nullptr);
    const int dpi = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(nullptr, screen);
    return MulDiv(pixelsAt96Dpi, dpi, 96);
}

std::wstring TextOf(HWND window) {
    std::wstring text(GetWindowTextLengthW(window) + 1, L'\0');
    text.resize(GetWindowTextW(window, text.data(), static_cast<int>(text.size())));
    return text;
}

std::wstring ClassOf(HWND window) {
    wchar_t name[64] = {};
    GetClassNameW(window, name, 64);
    return name;
}

std::wstring ItemText(HWND serverList, int index) {
    const auto length = SendMessageW(serverList, CB_GETLBTEXTLEN, index, 0);
    if (length == CB_ERR) return L"<no item>";
    std::wstring text(length + 1, L'\0');
    SendMessageW(serverList, CB_GETLBTEXT, index, reinterpret_cast<LPARAM>(text.data()));
    text.resize(length);
    return text;
}

// A rectangle relative to the dialog's client area.
RECT ClientRect(HWND control, HWND dialog) {
    RECT bounds;
    GetWindowRect(control, &bounds);
    MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&bounds), 2);
    return bounds;
}

void ExpectBox(HWND control, HWND dialog, int left, int top, int width, int height) {
    const RECT bounds = ClientRect(control, dialog);
    EXPECT_EQ(bounds.left, Scaled(left));
    EXPECT_EQ(bounds.top, Scaled(top));
    EXPECT_EQ(bounds.right - bounds.left, Scaled(width));
    EXPECT_EQ(bounds.bottom - bounds.top, Scaled(height));
}

// The dialog and its controls, found by caption and class among the thread's windows.
struct Dialog {
    HWND window = nullptr;
    HWND serverList = nullptr;
    HWND ok = nullptr;
    HWND exit = nullptr;
};

BOOL CALLBACK FindDialogWindow(HWND window, LPARAM found) {
    if (!IsWindowVisible(window) || TextOf(window) != kCaption) return TRUE;
    *reinterpret_cast<HWND*>(found) = window;
    return FALSE;
}

Dialog FindDialog() {
    Dialog dialog;
    EnumThreadWindows(GetCurrentThreadId(), &FindDialogWindow,
                      reinterpret_cast<LPARAM>(&dialog.window));
    if (!dialog.window) return dialog;
    HWND child = GetWindow(dialog.window, GW_CHILD);
    for (; child; child = GetWindow(child, GW_HWNDNEXT)) {
        const std::wstring className = ClassOf(child);
        const bool button = _wcsicmp(className.c_str(), L"Button") == 0;
        if (_wcsicmp(className.c_str(), L"ComboBox") == 0) dialog.serverList = child;
        if (button && TextOf(child) == kOkCaption) dialog.ok = child;
        if (button && TextOf(child) == kExitCaption) dialog.exit = child;
    }
    return dialog;
}

using Step = std::function<void(const Dialog&)>;

// Shows the dialog and plays the steps. Every step must run, and the dialog must be gone
// when the call returns; the watchdog closes it (WM_CLOSE, later a quit message) when a
// step fails to end it.
class Script {
public:
    explicit Script(std::vector<Step> steps) : steps_(std::move(steps)) {}

    VelmoraInt Play(const std::vector<std::string>& names) {
        started_ = GetTickCount();
        playing_ = this;
        const UINT_PTR timer = SetTimer(nullptr, 0, kTickMilliseconds, &Tick);
        const VelmoraInt answer = ShowSelectServerDialog(names);
        KillTimer(nullptr, timer);
        playing_ = nullptr;
        if (quitPosted_) {
            MSG quit;
            PeekMessageW(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE);
        }
        EXPECT_NE(shown_, nullptr) << "the dialog never showed";
        EXPECT_EQ(next_, steps_.size()) << "the dialog ended before step " << next_ + 1;
        EXPECT_FALSE(IsWindow(shown_)) << "the dialog outlived the call";
        EXPECT_EQ(FindDialog().window, nullptr) << "a dialog is still shown";
        return answer;
    }

private:
    static void CALLBACK Tick(HWND, UINT, UINT_PTR, DWORD) {
        if (playing_) playing_->OnTick();
    }

    void OnTick() {
        const Dialog dialog = FindDialog();
        if (dialog.window) shown_ = dialog.window;
        const DWORD elapsed = GetTickCount() - started_;
        if (elapsed > kWatchdogMilliseconds) {
            Watchdog(dialog.window, elapsed);
        } else if (dialog.window && next_ < steps_.size()) {
            ASSERT_TRUE(dialog.serverList && dialog.ok && dialog.exit) << "a control is missing";
            steps_[next_++](dialog);
        }
    }

    void Watchdog(HWND window, DWORD elapsed) {
        if (!closeSent_) {
            closeSent_ = true;
            ADD_FAILURE() << "the dialog was still open after step " << next_;
            if (window) PostMessageW(window, WM_CLOSE, 0, 0);
        } else if (!quitPosted_ && elapsed > 2 * kWatchdogMilliseconds) {
            quitPosted_ = true;
            PostQuitMessage(kWatchdogExitCode);
        }
    }

    static inline Script* playing_ = nullptr;
    std::vector<Step> steps_;
    size_t next_ = 0;
    DWORD started_ = 0;
    HWND shown_ = nullptr;
    bool closeSent_ = false;
    bool quitPosted_ = false;
};

VelmoraInt Play(const std::vector<std::string>& names, std::vector<Step> steps) {
    return Script(std::move(steps)).Play(names);
}

INPUT KeyInput(WORD key, DWORD flags) {
    INPUT input = {};
    input.type = INPUT_KEYBOARD;
    input.ki.wVk = key;
    input.ki.dwFlags = flags;
    return input;
}

// What the user does, each a step. Choosing sets the selection and notifies the dialog as
// the control does when the user picks an item.
Step Choosing(int index) {
    return [index](const Dialog& dialog) {
        SendMessageW(dialog.serverList, CB_SETCURSEL, index, 0);
        SendMessageW(dialog.window, WM_COMMAND,
                     MAKEWPARAM(GetDlgCtrlID(dialog.serverList), CBN_SELCHANGE),
                     reinterpret_cast<LPARAM>(dialog.serverList));
    };
}

Step Clicking(HWND Dialog::*button) {
    return [button](const Dialog& dialog) { SendMessageW(dialog.*button, BM_CLICK, 0, 0); };
}

// Presses the keys in order and releases them in reverse order, like a chord.
Step Typing(std::vector<WORD> keys) {
    return [keys](const Dialog&) {
        std::vector<INPUT> inputs;
        for (WORD key : keys) inputs.push_back(KeyInput(key, 0));
        for (auto key = keys.rbegin(); key != keys.rend(); ++key) {
            inputs.push_back(KeyInput(*key, KEYEVENTF_KEYUP));
        }
        ASSERT_EQ(SendInput(static_cast<UINT>(inputs.size()), inputs.data(), sizeof(INPUT)),
                  inputs.size());
    };
}

Step Posting(UINT message, WPARAM wParam = 0) {
    return [message, wParam](const Dialog& dialog) {
        PostMessageW(dialog.window, message, wParam, 0);
    };
}

// What the user sees, also a step.
Step FocusIsOn(HWND Dialog::*control) {
    return [control](const Dialog& dialog) { EXPECT_EQ(GetFocus(), dialog.*control); };
}

Step SelectionIs(int index) {
    return [index](const Dialog& dialog) {
        EXPECT_EQ(SendMessageW(dialog.serverList, CB_GETCURSEL, 0, 0), index);
    };
}

// A visible top-level window of the test thread, standing in for the host's main window.
class HostWindow {
public:
    HostWindow(int left, int top, int width, int height, int show = SW_SHOW)
        : window_(CreateWindowExW(0, L"STATIC", L"host", WS_OVERLAPPEDWINDOW, left, top, width,
                                  height, nullptr, nullptr, nullptr, nullptr)) {
        ShowWindow(window_, show);
    }
    ~HostWindow() {
        if (IsWindow(window_)) DestroyWindow(window_);
    }
    HostWindow(const HostWindow&) = delete;
    HostWindow& operator=(const HostWindow&) = delete;
    HWND get() const { return window_; }

private:
    HWND window_;
};

// A visible top-level window of another thread of the process, with its message loop.
class WindowOnAnotherThread {
public:
    WindowOnAnotherThread(int left, int top, int width, int height)
        : thread_([this, left, top, width, height] { Run(left, top, width, height); }) {
        std::unique_lock<std::mutex> lock(mutex_);
        created_.wait(lock, [this] { return ready_; });
    }
    ~WindowOnAnotherThread() {
        PostThreadMessageW(threadId_, WM_QUIT, 0, 0);
        thread_.join();
    }
    WindowOnAnotherThread(const WindowOnAnotherThread&) = delete;
    WindowOnAnotherThread& operator=(const WindowOnAnotherThread&) = delete;
    HWND get() const { return window_; }

private:
    void Run(int left, int top, int width, int height) {
        HostWindow window(left, top, width, height, SW_SHOWNOACTIVATE);
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            window_ = window.get();
            threadId_ = GetCurrentThreadId();
            ready_ = true;
        }
        created_.notify_one();
        MSG message;
        while (GetMessageW(&message, nullptr, 0, 0) > 0) DispatchMessageW(&message);
    }

    std::mutex mutex_;
    std::condition_variable created_;
    bool ready_ = false;
    HWND window_ = nullptr;
    DWORD threadId_ = 0;
    std::thread thread_;
};

RECT WindowRect(HWND window) {
    RECT bounds;
    GetWindowRect(window, &bounds);
    return bounds;
}

// Where the dialog's outer window belongs over an area, clamped at 0.
POINT CentredOver(const RECT& area, const RECT& dialog) {
    const LONG left = area.left + (area.right - area.left - (dialog.right - dialog.left)) / 2;
    const LONG top = area.top + (area.bottom - area.top - (dialog.bottom - dialog.top)) / 2;
    return {left < 0 ? 0 : left, top < 0 ? 0 : top};
}

void ExpectPlaced(const RECT& dialog, const POINT& expected) {
    EXPECT_EQ(dialog.left, expected.x);
    EXPECT_EQ(dialog.top, expected.y);
}

// The layout, each checked while the dialog shows and then left with the exit button.

TEST(SelectServerDialogLayout, FrameCaptionAndClientArea) {
    const Step check = [](const Dialog& dialog) {
        EXPECT_EQ(TextOf(dialog.window), kCaption);
        const auto style = GetWindowLongW(dialog.window, GWL_STYLE);
        EXPECT_EQ(style & (WS_CAPTION | WS_SYSMENU), WS_CAPTION | WS_SYSMENU);
        EXPECT_EQ(style & (WS_MINIMIZEBOX | WS_MAXIMIZEBOX | WS_THICKFRAME | WS_CHILD), 0);
        EXPECT_TRUE(GetWindowLongW(dialog.window, GWL_EXSTYLE) & WS_EX_DLGMODALFRAME);
        RECT client;
        GetClientRect(dialog.window, &client);
        EXPECT_EQ(client.right, Scaled(220));
        EXPECT_EQ(client.bottom, Scaled(78));
        // The background, away from the controls.
        UpdateWindow(dialog.window);
        HDC surface = GetDC(dialog.window);
        EXPECT_EQ(GetPixel(surface, Scaled(4), Scaled(4)), GetSysColor(COLOR_BTNFACE));
        EXPECT_EQ(GetPixel(surface, Scaled(110), Scaled(42)), GetSysColor(COLOR_BTNFACE));
        ReleaseDC(dialog.window, surface);
    };
    EXPECT_EQ(Play(kThreeNames, {check, Clicking(&Dialog::exit)}), -1);
}

TEST(SelectServerDialogLayout, ControlsTabOrderAndFocus) {
    const Step check = [](const Dialog& dialog) {
        ExpectBox(dialog.serverList, dialog.window, 24, 16, 169, 20);
        ExpectBox(dialog.ok, dialog.window, 44, 47, 59, 25);
        ExpectBox(dialog.exit, dialog.window, 105, 47, 59, 25);
        const auto listStyle = GetWindowLongW(dialog.serverList, GWL_STYLE);
        EXPECT_EQ(listStyle & 3, CBS_DROPDOWNLIST);
        EXPECT_EQ(listStyle & (CBS_SORT | CBS_OWNERDRAWFIXED | CBS_OWNERDRAWVARIABLE), 0);
        EXPECT_EQ(SendMessageW(dialog.serverList, CB_GETITEMHEIGHT, 0, 0), Scaled(12));
        for (HWND button : {dialog.ok, dialog.exit}) {
            EXPECT_EQ(GetWindowLongW(button, GWL_STYLE) & BS_TYPEMASK, BS_PUSHBUTTON);
            // The dialog manager's OK and cancel commands must not name a button.
            EXPECT_NE(GetDlgCtrlID(button), IDOK);
            EXPECT_NE(GetDlgCtrlID(button), IDCANCEL);
        }
        for (HWND control : {dialog.serverList, dialog.ok, dialog.exit}) {
            EXPECT_TRUE(GetWindowLongW(control, GWL_STYLE) & WS_TABSTOP);
        }
        EXPECT_EQ(GetNextDlgTabItem(dialog.window, nullptr, FALSE), dialog.serverList);
        EXPECT_EQ(GetNextDlgTabItem(dialog.window, dialog.serverList, FALSE), dialog.ok);
        EXPECT_EQ(GetNextDlgTabItem(dialog.window, dialog.ok, FALSE), dialog.exit);
        EXPECT_EQ(GetNextDlgTabItem(dialog.window, dialog.exit, FALSE), dialog.serverList);
    };
    EXPECT_EQ(Play(kThreeNames, {check, FocusIsOn(&Dialog::serverList), Clicking(&Dialog::exit)}),
              -1);
}

TEST(SelectServerDialogLayout, FontAndItems) {
    const Step check = [](const Dialog& dialog) {
        for (HWND control : {dialog.serverList, dialog.ok, dialog.exit}) {
            LOGFONTW font = {};
            const auto handle = reinterpret_cast<HFONT>(SendMessageW(control, WM_GETFONT, 0, 0));
            ASSERT_NE(handle, nullptr);
            ASSERT_EQ(GetObjectW(handle, sizeof font, &font), static_cast<int>(sizeof font));
            EXPECT_STREQ(font.lfFaceName, kFontFace);
            EXPECT_EQ(font.lfHeight, -Scaled(12));
            EXPECT_EQ(font.lfWeight, FW_NORMAL);
            EXPECT_EQ(font.lfCharSet, DEFAULT_CHARSET);
            EXPECT_FALSE(font.lfItalic || font.lfUnderline || font.lfStrikeOut);
        }
        EXPECT_EQ(SendMessageW(dialog.serverList, CB_GETCOUNT, 0, 0), 3);
        EXPECT_EQ(ItemText(dialog.serverList, 0), kBuiltInText);
        EXPECT_EQ(ItemText(dialog.serverList, 1), L"Beta");
        EXPECT_EQ(ItemText(dialog.serverList, 2), L"Gamma");
    };
    EXPECT_EQ(Play(kThreeNames, {check, SelectionIs(0), Clicking(&Dialog::exit)}), -1);
}

// A rectangle of a device context as text, one line per row: '#' where something other
// than the background is drawn, '.' elsewhere; cut to the drawn part.
std::vector<std::string> Ink(HDC surface, const RECT& area, COLORREF background) {
    std::vector<std::string> rows;
    for (LONG y = area.top; y < area.bottom; ++y) {
        std::string row;
        for (LONG x = area.left; x < area.right; ++x) row += GetPixel(surface, x, y) == background ? '.' : '#';
        if (row.find('#') != std::string::npos || !rows.empty()) rows.push_back(row);
    }
    while (!rows.empty() && rows.back().find('#') == std::string::npos) rows.pop_back();
    std::size_t left = std::string::npos, right = 0;
    for (const std::string& row : rows) {
        if (row.find('#') == std::string::npos) continue;
        left = std::min(left, row.find('#'));
        right = std::max(right, row.rfind('#') + 1);
    }
    for (std::string& row : rows) row = row.substr(left, right - left);
    return rows;
}

COLORREF MostFrequentColor(HDC surface, const RECT& area) {
    std::map<COLORREF, int> counts;
    for (LONG y = area.top; y < area.bottom; ++y) {
        for (LONG x = area.left; x < area.right; ++x) ++counts[GetPixel(surface, x, y)];
    }
    return std::max_element(counts.begin(), counts.end(),
                            [](const auto& a, const auto& b) { return a.second < b.second; })
        ->first;
}

// The text as the control's font draws it in the window text colour on the background.
std::vector<std::string> InkOfText(HWND control, const std::wstring& text, COLORREF background) {
    HDC screen = GetDC(control);
    HDC surface = CreateCompatibleDC(screen);
    const auto font = reinterpret_cast<HFONT>(SendMessageW(control, WM_GETFONT, 0, 0));
    const HGDIOBJ oldFont = SelectObject(surface, font);
    SIZE extent = {};
    GetTextExtentPoint32W(surface, text.c_str(), static_cast<int>(text.size()), &extent);
    const RECT area = {0, 0, extent.cx + 8, extent.cy + 8};
    HBITMAP bitmap = CreateCompatibleBitmap(screen, area.right, area.bottom);
    const HGDIOBJ oldBitmap = SelectObject(surface, bitmap);
    HBRUSH fill = CreateSolidBrush(background);
    FillRect(surface, &area, fill);
    SetBkMode(surface, TRANSPARENT);
    SetTextColor(surface, GetSysColor(COLOR_WINDOWTEXT));
    TextOutW(surface, 4, 4, text.c_str(), static_cast<int>(text.size()));
    std::vector<std::string> ink = Ink(surface, area, background);
    DeleteObject(fill);
    SelectObject(surface, oldBitmap);
    DeleteObject(bitmap);
    SelectObject(surface, oldFont);
    DeleteDC(surface);
    ReleaseDC(control, screen);
    return ink;
}

// Whether the control's font has a glyph of its own for every character, so that none is
// drawn as a box.
bool HasEveryGlyph(HWND control, const std::wstring& text) {
    HDC surface = GetDC(control);
    const HGDIOBJ oldFont = SelectObject(surface, reinterpret_cast<HFONT>(SendMessageW(control, WM_GETFONT, 0, 0)));
    std::vector<WORD> glyphs(text.size());
    const DWORD found = GetGlyphIndicesW(surface, text.c_str(), static_cast<int>(text.size()), glyphs.data(),
                                         GGI_MARK_NONEXISTING_GLYPHS);
    SelectObject(surface, oldFont);
    ReleaseDC(control, surface);
    return found == text.size() && std::find(glyphs.begin(), glyphs.end(), 0xFFFF) == glyphs.end();
}

// A name a plug-in gave its type reaches the dialog as code page 936 bytes, like the
// built-in names, and is drawn as the text it stands for.
TEST(SelectServerDialogLayout, PluginNameShowsAsItsText) {
    const std::wstring pluginText = L"\u5317\u8fb0\u7f51\u7edcNVR";
    std::vector<std::string> names = {kBuiltInName};
    for (const auto& record : ScanPluginDirectory(test::PluginDirectory("named"), "")) {
        if (record->typeId == 3) names.emplace_back(record->displayName.View());
    }
    ASSERT_EQ(names.size(), 2u);
    const Step check = [&](const Dialog& dialog) {
        EXPECT_EQ(ItemText(dialog.serverList, 1), pluginText);
        EXPECT_TRUE(HasEveryGlyph(dialog.serverList, pluginText));
        // The closed list shows the choice; without the focus it is drawn unhighlighted.
        COMBOBOXINFO parts = {};
        parts.cbSize = sizeof parts;
        ASSERT_TRUE(GetComboBoxInfo(dialog.serverList, &parts));
        UpdateWindow(dialog.serverList);
        HDC surface = GetDC(dialog.serverList);
        const COLORREF background = MostFrequentColor(surface, parts.rcItem);
        const std::vector<std::string> shown = Ink(surface, parts.rcItem, background);
        ReleaseDC(dialog.serverList, surface);
        const std::vector<std::string> expected = InkOfText(dialog.serverList, pluginText, background);
        EXPECT_FALSE(expected.empty());
        EXPECT_EQ(shown, expected) << testing::PrintToString(shown) << "\n" << testing::PrintToString(expected);
    };
    EXPECT_EQ(Play(names, {Choosing(1), Typing({VK_TAB}), FocusIsOn(&Dialog::ok), check,
                           Clicking(&Dialog::exit)}),
              -1);
}

// What the call answers.

TEST(SelectServerDialogAnswer, OkAtOnceAnswersTheFirstItem) {
    EXPECT_EQ(Play(kThreeNames, {Clicking(&Dialog::ok)}), 0);
}

TEST(SelectServerDialogAnswer, OkAnswersTheChosenItem) {
    EXPECT_EQ(Play(kThreeNames, {Choosing(2), Clicking(&Dialog::ok)}), 2);
}

TEST(SelectServerDialogAnswer, ItemChosenWithTheArrowKeys) {
    EXPECT_EQ(Play(kThreeNames,
                   {Typing({VK_DOWN}), Typing({VK_DOWN}), SelectionIs(2), Clicking(&Dialog::ok)}),
              2);
}

TEST(SelectServerDialogAnswer, SelectionSetWithoutNotificationIsNoChoice) {
    const Step setSelection = [](const Dialog& dialog) {
        SendMessageW(dialog.serverList, CB_SETCURSEL, 2, 0);
    };
    EXPECT_EQ(Play(kThreeNames, {setSelection, Clicking(&Dialog::ok)}), 0);
}

TEST(SelectServerDialogAnswer, ExitAnswersMinusOne) {
    EXPECT_EQ(Play(kThreeNames, {Choosing(2), Clicking(&Dialog::exit)}), -1);
}

TEST(SelectServerDialogAnswer, CloseBoxAnswersMinusOneWhateverIsSelected) {
    EXPECT_EQ(Play(kThreeNames, {Posting(WM_CLOSE)}), -1);
    EXPECT_EQ(Play(kThreeNames, {Choosing(2), Posting(WM_CLOSE)}), -1);
}

TEST(SelectServerDialogAnswer, SystemMenuCloseAnswersMinusOne) {
    EXPECT_EQ(Play(kThreeNames, {Choosing(1), Posting(WM_SYSCOMMAND, SC_CLOSE)}), -1);
}

TEST(SelectServerDialogAnswer, EmptyNameIsAnItemLikeAnyOther) {
    const Step middleIsEmpty = [](const Dialog& dialog) {
        EXPECT_EQ(SendMessageW(dialog.serverList, CB_GETCOUNT, 0, 0), 3);
        EXPECT_EQ(ItemText(dialog.serverList, 1), L"");
    };
    EXPECT_EQ(Play({"Alpha", "", "Gamma"}, {middleIsEmpty, Choosing(1), Clicking(&Dialog::ok)}),
              1);
    EXPECT_EQ(Play({""}, {SelectionIs(0), Clicking(&Dialog::ok)}), 0);
}

TEST(SelectServerDialogAnswer, NoNamesAnswersMinusOneOnOk) {
    const Step listIsEmpty = [](const Dialog& dialog) {
        EXPECT_EQ(SendMessageW(dialog.serverList, CB_GETCOUNT, 0, 0), 0);
    };
    EXPECT_EQ(Play({}, {listIsEmpty, SelectionIs(CB_ERR), Clicking(&Dialog::ok)}), -1);
}

TEST(SelectServerDialogAnswer, EveryCallStartsAfresh) {
    EXPECT_EQ(Play(kThreeNames, {Choosing(2), Clicking(&Dialog::ok)}), 2);
    EXPECT_EQ(Play(kThreeNames, {SelectionIs(0), Clicking(&Dialog::ok)}), 0);
}

// The keyboard. The dialog starts with the focus on the list.

TEST(SelectServerDialogKeyboard, TabAndShiftTabFollowTheTabOrder) {
    EXPECT_EQ(Play(kThreeNames, {Typing({VK_TAB}), FocusIsOn(&Dialog::ok),
                                 Typing({VK_TAB}), FocusIsOn(&Dialog::exit),
                                 Typing({VK_TAB}), FocusIsOn(&Dialog::serverList),
                                 Typing({VK_SHIFT, VK_TAB}), FocusIsOn(&Dialog::exit),
                                 Typing({VK_SHIFT, VK_TAB}), FocusIsOn(&Dialog::ok),
                                 Clicking(&Dialog::exit)}),
              -1);
}

TEST(SelectServerDialogKeyboard, EnterOnTheListDoesNothing) {
    EXPECT_EQ(Play(kThreeNames, {Choosing(1), Typing({VK_RETURN}), FocusIsOn(&Dialog::serverList),
                                 SelectionIs(1), Clicking(&Dialog::exit)}),
              -1);
}

TEST(SelectServerDialogKeyboard, EnterPressesTheFocusedOkButton) {
    EXPECT_EQ(Play(kThreeNames, {Choosing(2), Typing({VK_TAB}), FocusIsOn(&Dialog::ok),
                                 Typing({VK_RETURN})}),
              2);
}

TEST(SelectServerDialogKeyboard, EnterPressesTheFocusedExitButton) {
    EXPECT_EQ(Play(kThreeNames, {Choosing(2), Typing({VK_SHIFT, VK_TAB}), FocusIsOn(&Dialog::exit),
                                 Typing({VK_RETURN})}),
              -1);
}

TEST(SelectServerDialogKeyboard, EscapeDoesNothingWhereverTheFocusIs) {
    EXPECT_EQ(Play(kThreeNames, {Choosing(1), Typing({VK_ESCAPE}), FocusIsOn(&Dialog::serverList),
                                 Typing({VK_TAB}), FocusIsOn(&Dialog::ok), Typing({VK_ESCAPE}),
                                 Typing({VK_TAB}), FocusIsOn(&Dialog::exit), Typing({VK_ESCAPE}),
                                 Clicking(&Dialog::ok)}),
              1);
}

// The modal run: the host's windows, its quit message, the dialog's owner and place.

TEST(SelectServerDialogModal, QuitMessageEndsTheDialogAndIsPostedAgain) {
    const Step quit = [](const Dialog&) { PostQuitMessage(23); };
    EXPECT_EQ(Play(kThreeNames, {Choosing(2), quit}), -1);
    MSG message = {};
    ASSERT_TRUE(PeekMessageW(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
    EXPECT_EQ(message.wParam, 23u);
}

TEST(SelectServerDialogModal, ThreadWindowsAreDisabledWhileTheDialogShows) {
    const HostWindow first(50, 50, 300, 200);
    const HostWindow second(400, 50, 300, 200);
    const HostWindow hidden(50, 300, 300, 200, SW_HIDE);
    const HostWindow disabled(400, 300, 300, 200);
    EnableWindow(disabled.get(), FALSE);
    const Step check = [&](const Dialog& dialog) {
        EXPECT_FALSE(IsWindowEnabled(first.get()));
        EXPECT_FALSE(IsWindowEnabled(second.get()));
        EXPECT_TRUE(IsWindowEnabled(hidden.get()));
        EXPECT_TRUE(IsWindowEnabled(dialog.window));
    };
    EXPECT_EQ(Play(kThreeNames, {check, Clicking(&Dialog::ok)}), 0);
    EXPECT_TRUE(IsWindowEnabled(first.get()));
    EXPECT_TRUE(IsWindowEnabled(second.get()));
    EXPECT_TRUE(IsWindowEnabled(hidden.get()));
    EXPECT_FALSE(IsWindowEnabled(disabled.get()));
}

TEST(SelectServerDialogModal, HostWindowsDestroyedMeanwhileEndTheDialog) {
    HostWindow other(50, 50, 300, 200);
    HostWindow host(400, 50, 300, 200);
    ASSERT_EQ(GetActiveWindow(), host.get());
    // An owned window goes with its owner.
    const Step destroy = [&](const Dialog& dialog) {
        ASSERT_EQ(GetWindow(dialog.window, GW_OWNER), host.get());
        DestroyWindow(other.get());
        DestroyWindow(host.get());
    };
    EXPECT_EQ(Play(kThreeNames, {destroy}), -1);
}

TEST(SelectServerDialogModal, OwnedByAndCentredOverTheActiveWindow) {
    const HostWindow behind(20, 20, 200, 150);
    const HostWindow host(100, 80, 600, 400);
    ASSERT_EQ(GetActiveWindow(), host.get());
    RECT dialogRect = {};
    const Step check = [&](const Dialog& dialog) {
        EXPECT_EQ(GetWindow(dialog.window, GW_OWNER), host.get());
        dialogRect = WindowRect(dialog.window);
    };
    EXPECT_EQ(Play(kThreeNames, {check, Clicking(&Dialog::exit)}), -1);
    ExpectPlaced(dialogRect, CentredOver(WindowRect(host.get()), dialogRect));
}

TEST(SelectServerDialogModal, CentringTruncatesTowardsZeroAndClampsAtZero) {
    RECT dialogRect = {};
    const std::vector<Step> measure = {
        [&](const Dialog& dialog) { dialogRect = WindowRect(dialog.window); },
        Clicking(&Dialog::exit)};
    Play(kThreeNames, measure);
    const LONG width = dialogRect.right - dialogRect.left;
    const LONG height = dialogRect.bottom - dialogRect.top;
    {
        // Three pixels narrower and lower than the dialog: half of -3 is -1, not -2.
        const HostWindow host(500, 300, width - 3, height - 3);
        ASSERT_EQ(GetActiveWindow(), host.get());
        Play(kThreeNames, measure);
        ExpectPlaced(dialogRect, {499, 299});
    }
    {
        const HostWindow host(-300, -200, 200, 100);
        ASSERT_EQ(GetActiveWindow(), host.get());
        Play(kThreeNames, measure);
        ExpectPlaced(dialogRect, {0, 0});
    }
    {
        const HostWindow host(-40, 600, width - 100, height);
        ASSERT_EQ(GetActiveWindow(), host.get());
        Play(kThreeNames, measure);
        ExpectPlaced(dialogRect, {0, 600});
    }
}

TEST(SelectServerDialogModal, WithoutAnActiveWindowCentredOverTheProcessMainWindow) {
    const WindowOnAnotherThread host(60, 70, 500, 300);
    ASSERT_EQ(GetActiveWindow(), nullptr);
    RECT dialogRect = {};
    const Step check = [&](const Dialog& dialog) {
        EXPECT_EQ(GetWindow(dialog.window, GW_OWNER), host.get());
        // Only the calling thread's windows are disabled.
        EXPECT_TRUE(IsWindowEnabled(host.get()));
        dialogRect = WindowRect(dialog.window);
    };
    EXPECT_EQ(Play(kThreeNames, {check, Clicking(&Dialog::ok)}), 0);
    ExpectPlaced(dialogRect, CentredOver(WindowRect(host.get()), dialogRect));
}

TEST(SelectServerDialogModal, WithoutAHostWindowCentredOnTheScreen) {
    ASSERT_EQ(GetActiveWindow(), nullptr);
    RECT dialogRect = {};
    const Step check = [&](const Dialog& dialog) {
        EXPECT_EQ(GetWindow(dialog.window, GW_OWNER), nullptr);
        dialogRect = WindowRect(dialog.window);
    };
    EXPECT_EQ(Play(kThreeNames, {check, Clicking(&Dialog::ok)}), 0);
    const RECT screen = {0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
    ExpectPlaced(dialogRect, CentredOver(screen, dialogRect));
}

}  // namespace
}  // namespace velmora
