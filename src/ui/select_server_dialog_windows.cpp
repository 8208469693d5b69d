// The select-server dialog of the Windows builds. Its modal loop is the library's own (no
// DialogBox), so that a quit message ends the dialog without getting lost for the host.
#include "ui/select_server_dialog.h"

#include <windows.h>

#include <algorithm>
#include <exception>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

extern "C" IMAGE_DOS_HEADER __ImageBase;

namespace velmora {
namespace {

const wchar_t kCaption[] = L"\u9009\u62e9\u670d\u52a1\u5668";
const wchar_t kOkCaption[] = L"\u786e\u5b9a";
const wchar_t kExitCaption[] = L"\u9000\u51fa";
const wchar_t kFontFace[] = L"\u5b8b\u4f53";
const UINT kNameCodePage = 936;

// None is IDOK or IDCANCEL, the commands the dialog manager makes up for Enter and Escape.
enum ControlId : int { kServerListId = 100, kOkId, kExitId };

// The layout, in pixels at 96 dpi.
struct Box {
    int left, top, width, height;
};
const SIZE kClientSize = {220, 78};
const Box kServerListBox = {24, 16, 169, 20};
const Box kOkBox = {44, 47, 59, 25};
const Box kExitBox = {105, 47, 59, 25};
const int kItemHeight = 12;
const int kFontHeight = 12;
const int kDroppedItems = 8;

enum class ModalResult { None, Ok, Cancel };

struct DialogState {
    VelmoraInt selected = -1;
    ModalResult result = ModalResult::None;
};

struct FontDeleter {
    void operator()(HFONT font) const { DeleteObject(font); }
};
using Font = std::unique_ptr<std::remove_pointer_t<HFONT>, FontDeleter>;

// Hidden before it is destroyed, so the activation goes back to its owner first. It may be
// gone already, destroyed along with its owner.
struct WindowDeleter {
    void operator()(HWND window) const {
        if (!IsWindow(window)) return;
        ShowWindow(window, SW_HIDE);
        DestroyWindow(window);
    }
};
using Window = std::unique_ptr<std::remove_pointer_t<HWND>, WindowDeleter>;

// Declared before everything else of a call, so the quit message that ended the dialog is
// posted again only once the dialog is gone, also when an exception passes through.
struct QuitRelay {
    std::optional<int> exitCode;
    ~QuitRelay() {
        if (exitCode) PostQuitMessage(*exitCode);
    }
};

// The calling thread's visible, enabled top-level windows, disabled while the object lives.
class DisabledThreadWindows {
public:
    DisabledThreadWindows() {
        EnumThreadWindows(GetCurrentThreadId(), &Collect, reinterpret_cast<LPARAM>(this));
        // Nothing is disabled yet when the collection failed.
        if (error_) std::rethrow_exception(error_);
        for (HWND window : windows_) EnableWindow(window, FALSE);
    }
    ~DisabledThreadWindows() {
        for (HWND window : windows_) {
            if (IsWindow(window)) EnableWindow(window, TRUE);
        }
    }
    DisabledThreadWindows(const DisabledThreadWindows&) = delete;
    DisabledThreadWindows& operator=(const DisabledThreadWindows&) = delete;

private:
    // A C++ exception must not unwind through the system's frames: it is carried over them.
    static BOOL CALLBACK Collect(HWND window, LPARAM self) {
        auto& windows = *reinterpret_cast<DisabledThreadWindows*>(self);
        if (!IsWindowVisible(window) || !IsWindowEnabled(window)) return TRUE;
        try {
            windows.windows_.push_back(window);
        } catch (...) {
            windows.error_ = std::current_exception();
            return FALSE;
        }
        return TRUE;
    }

    std::vector<HWND> windows_;
    std::exception_ptr error_;
};

BOOL CALLBACK FindProcessMainWindow(HWND window, LPARAM found) {
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    if (process != GetCurrentProcessId() || !IsWindowVisible(window) ||
        GetWindow(window, GW_OWNER)) {
        return TRUE;
    }
    *reinterpret_cast<HWND*>(found) = window;
    return FALSE;
}

// The host's main window: the thread's active window, else the process's first visible,
// unowned top-level window; null when there is none.
HWND HostMainWindow() {
    if (HWND active = GetActiveWindow()) return active;
    HWND found = nullptr;
    EnumWindows(&FindProcessMainWindow, reinterpret_cast<LPARAM>(&found));
    return found;
}

POINT CentredOver(HWND mainWindow, SIZE size) {
    RECT area;
    if (!mainWindow || !GetWindowRect(mainWindow, &area)) {
        area = {0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
    }
    const LONG left = area.left + (area.right - area.left - size.cx) / 2;
    const LONG top = area.top + (area.bottom - area.top - size.cy) / 2;
    return {left < 0 ? 0 : left, top < 0 ? 0 : top};
}

class Scale {
public:
    Scale() {
        HDC screen = GetDC(nullptr);
        dpi_ = GetDeviceCaps(screen, LOGPIXELSY);
        ReleaseDC(nullptr, screen);
    }
    int operator()(int pixelsAt96Dpi) const { return MulDiv(pixelsAt96Dpi, dpi_, 96); }

private:
    int dpi_ = 96;
};

Font CreateDialogFont(const Scale& scale) {
    LOGFONTW description = {};
    description.lfHeight = -scale(kFontHeight);
    description.lfWeight = FW_NORMAL;
    description.lfCharSet = DEFAULT_CHARSET;
    static_assert(std::size(kFontFace) <= LF_FACESIZE, "face name too long");
    std::copy(std::begin(kFontFace), std::end(kFontFace), description.lfFaceName);
    return Font(CreateFontIndirectW(&description));
}

std::wstring FromNameCodePage(const std::string& bytes) {
    const int size = static_cast<int>(bytes.size());
    const int length =
        size ? MultiByteToWideChar(kNameCodePage, 0, bytes.data(), size, nullptr, 0) : 0;
    std::wstring text(length, L'\0');
    if (length) MultiByteToWideChar(kNameCodePage, 0, bytes.data(), size, text.data(), length);
    return text;
}

// An empty dialog: its controls are placed in pixels afterwards, which dialog units cannot
// express exactly. Without DS_SETFONT the template ends with the caption.
std::vector<WORD> DialogTemplate() {
    const DWORD style = WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME;
    // style, extended style, item count, x, y, cx, cy, no menu, the system's dialog class
    std::vector<WORD> words = {LOWORD(style), HIWORD(style), 0, 0, 0, 0, 0, 0, 0, 0, 0};
    words.insert(words.end(), std::begin(kCaption), std::end(kCaption));
    return words;
}

HWND CreateControl(HWND dialog, const wchar_t* className, const wchar_t* text, DWORD style,
                   ControlId id, const Box& box, int height, const Scale& scale, HFONT font) {
    HWND control = CreateWindowExW(0, className, text, WS_CHILD | WS_VISIBLE | WS_TABSTOP | style,
                                   scale(box.left), scale(box.top), scale(box.width), height,
                                   dialog, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                                   reinterpret_cast<HINSTANCE>(&__ImageBase), nullptr);
    SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    return control;
}

// A combo box's window height is that of its selection field plus a frame the system
// chooses, and systems answer the field's height differently: set it, measure, set again.
void SetClosedHeight(HWND comboBox, int height) {
    const auto field = static_cast<WPARAM>(-1);
    SendMessageW(comboBox, CB_SETITEMHEIGHT, field, height);
    RECT bounds;
    GetWindowRect(comboBox, &bounds);
    SendMessageW(comboBox, CB_SETITEMHEIGHT, field, 2 * height - (bounds.bottom - bounds.top));
}

// Set on the list itself: Wine ignores CB_SETITEMHEIGHT for lists that are not owner-drawn.
void SetListItemHeight(HWND comboBox, int height) {
    COMBOBOXINFO parts = {};
    parts.cbSize = sizeof parts;
    if (GetComboBoxInfo(comboBox, &parts)) {
        SendMessageW(parts.hwndList, LB_SETITEMHEIGHT, 0, height);
    }
}

// Created in tab order: the dialog manager tabs through controls in creation order. A combo
// box is created with its dropped-down height.
HWND CreateControls(HWND dialog, const Scale& scale, HFONT font) {
    HWND serverList = CreateControl(
        dialog, L"COMBOBOX", L"", CBS_DROPDOWNLIST | WS_VSCROLL, kServerListId, kServerListBox,
        scale(kServerListBox.height + kItemHeight * kDroppedItems), scale, font);
    SetListItemHeight(serverList, scale(kItemHeight));
    SetClosedHeight(serverList, scale(kServerListBox.height));
    CreateControl(dialog, L"BUTTON", kOkCaption, BS_PUSHBUTTON, kOkId, kOkBox, scale(kOkBox.height),
                  scale, font);
    CreateControl(dialog, L"BUTTON", kExitCaption, BS_PUSHBUTTON, kExitId, kExitBox,
                  scale(kExitBox.height), scale, font);
    return serverList;
}

// Sizes the client area and centres the outer window over the host's main window.
void Place(HWND dialog, HWND mainWindow, const Scale& scale) {
    RECT outer;
    RECT client;
    GetWindowRect(dialog, &outer);
    GetClientRect(dialog, &client);
    const SIZE size = {outer.right - outer.left - client.right + scale(kClientSize.cx),
                       outer.bottom - outer.top - client.bottom + scale(kClientSize.cy)};
    const POINT position = CentredOver(mainWindow, size);
    SetWindowPos(dialog, nullptr, position.x, position.y, size.cx, size.cy,
                 SWP_NOZORDER | SWP_NOACTIVATE);
}

INT_PTR CALLBACK DialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        SetWindowLongPtrW(dialog, DWLP_USER, lParam);
        // The focus is set once the controls exist.
        return FALSE;
    }
    auto* state = reinterpret_cast<DialogState*>(GetWindowLongPtrW(dialog, DWLP_USER));
    if (!state) return FALSE;
    switch (message) {
    case WM_COMMAND:
        if (LOWORD(wParam) == kServerListId && HIWORD(wParam) == CBN_SELCHANGE) {
            state->selected = static_cast<VelmoraInt>(
                SendMessageW(reinterpret_cast<HWND>(lParam), CB_GETCURSEL, 0, 0));
        } else if (LOWORD(wParam) == kOkId && HIWORD(wParam) == BN_CLICKED) {
            state->result = ModalResult::Ok;
        } else if (LOWORD(wParam) == kExitId && HIWORD(wParam) == BN_CLICKED) {
            state->result = ModalResult::Cancel;
        }
        return TRUE;
    case WM_CLOSE:
        // Also the system menu's Close; the window itself goes when the loop has ended.
        state->result = ModalResult::Cancel;
        return TRUE;
    case WM_NCDESTROY:
        // Destroyed from outside, with its owner for example: the loop must not wait on.
        if (state->result == ModalResult::None) state->result = ModalResult::Cancel;
        return FALSE;
    default:
        return FALSE;
    }
}

// Enter presses the focused button and does nothing elsewhere, Escape does nothing: left to
// IsDialogMessage they would become the IDOK and IDCANCEL commands. A control that asks for
// the key itself, an open drop-down list, still gets it.
bool HandleDialogKey(HWND dialog, const MSG& message) {
    if (message.message != WM_KEYDOWN ||
        (message.wParam != VK_RETURN && message.wParam != VK_ESCAPE)) {
        return false;
    }
    if (message.hwnd != dialog && !IsChild(dialog, message.hwnd)) return false;
    const LRESULT code = SendMessageW(message.hwnd, WM_GETDLGCODE, message.wParam,
                                      reinterpret_cast<LPARAM>(&message));
    if (code & DLGC_WANTMESSAGE) return false;
    if (message.wParam == VK_RETURN && (code & (DLGC_DEFPUSHBUTTON | DLGC_UNDEFPUSHBUTTON))) {
        SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(message.hwnd), BN_CLICKED),
                     reinterpret_cast<LPARAM>(message.hwnd));
    }
    return true;
}

void RunModalLoop(HWND dialog, const DialogState& state, QuitRelay& quit) {
    MSG message;
    while (state.result == ModalResult::None) {
        const BOOL got = GetMessageW(&message, nullptr, 0, 0);
        if (got <= 0) {
            if (got == 0) quit.exitCode = static_cast<int>(message.wParam);
            return;
        }
        if (HandleDialogKey(dialog, message) || IsDialogMessageW(dialog, &message)) continue;
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

}  // namespace

VelmoraInt ShowSelectServerDialog(const std::vector<std::string>& names) {
    QuitRelay quit;
    std::vector<std::wstring> items;
    items.reserve(names.size());
    for (const std::string& name : names) items.push_back(FromNameCodePage(name));

    const HWND mainWindow = HostMainWindow();
    const Scale scale;
    const Font font = CreateDialogFont(scale);
    DialogState state;
    const std::vector<WORD> layout = DialogTemplate();
    const Window dialog(CreateDialogIndirectParamW(
        reinterpret_cast<HINSTANCE>(&__ImageBase), reinterpret_cast<LPCDLGTEMPLATEW>(layout.data()),
        mainWindow, &DialogProc, reinterpret_cast<LPARAM>(&state)));
    if (!dialog) return -1;

    HWND serverList = CreateControls(dialog.get(), scale, font.get());
    for (const std::wstring& item : items) {
        SendMessageW(serverList, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(item.c_str()));
    }
    if (SendMessageW(serverList, CB_GETCOUNT, 0, 0) > 0) {
        SendMessageW(serverList, CB_SETCURSEL, 0, 0);
        state.selected = 0;
    }
    Place(dialog.get(), mainWindow, scale);

    // Destroyed before the dialog, so the owner is enabled again when the dialog goes and
    // gets the activation back.
    const DisabledThreadWindows disabled;
    ShowWindow(dialog.get(), SW_SHOW);
    SetFocus(serverList);
    RunModalLoop(dialog.get(), state, quit);
    return state.result == ModalResult::Ok && state.selected >= 0 ? state.selected : -1;
}

}  // namespace velmora
