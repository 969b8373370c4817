// pixelwell-drive: finds the running viewer's windows and works them as a user would, a few
// actions per call, for the guided tour and its test (scripts/tour). Texts are printed as UTF-8.
//
//   wait CLASS [MS]             until a visible window of CLASS exists (exit 1 on timeout)
//   gone CLASS [MS]             until no window of CLASS exists any more
//   info CLASS                  class, title, visibility, outer rectangle and client size
//   cmd CLASS ID                choose menu command ID (WM_COMMAND), return once it is handled
//                               or has opened a modal box or dialog
//   move CLASS X Y              move the window (the two top-level windows start stacked)
//   keys CLASS menu|VK...       keyboard: "menu" opens the menu bar, numbers are virtual keys
//   boxes [ok|cancel]           list the open dialogs and message boxes, optionally close them
//   waitbox [MS]                until a dialog or message box is open
//   controls                    list the controls of the open dialog
//   select ID TEXT              in the open dialog, choose the list item that starts with TEXT
//   click TEXT|ID               in the open dialog, press the button labelled TEXT (or with ID)
//
// Several actions can go in one call, separated by "+".
#include <windows.h>
#include <shellapi.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>
#include <vector>

namespace {

std::string utf8(const std::wstring& w) {
    if (w.empty()) return {};
    const int n = WideCharToMultiByte(CP_UTF8, 0, w.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string s(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, w.c_str(), -1, &s[0], n, nullptr, nullptr);
    s.resize(static_cast<size_t>(n - 1));
    return s;
}

std::wstring textOf(HWND h) {
    wchar_t buf[1024] = L"";
    GetWindowTextW(h, buf, 1024);
    return buf;
}

std::wstring classOf(HWND h) {
    wchar_t buf[256] = L"";
    GetClassNameW(h, buf, 256);
    return buf;
}

// Quoted for one-line output: line breaks become \n.
std::string quoted(const std::wstring& w) {
    std::string out = "\"";
    for (char c : utf8(w)) {
        if (c == '\r') continue;
        if (c == '\n') out += "\\n";
        else if (c == '"') out += "\\\"";
        else out += c;
    }
    return out + "\"";
}

HWND findWindow(const std::wstring& cls) { return FindWindowW(cls.c_str(), nullptr); }

// Two round trips of a sent message: the target has gone back to its message loop (or into
// a modal loop) since anything posted before, so a posted command has been dispatched.
void sync(HWND h) {
    DWORD_PTR r;
    for (int i = 0; i < 2; ++i) SendMessageTimeoutW(h, WM_NULL, 0, 0, SMTO_NORMAL, 5000, &r);
}

struct Dialogs {
    std::vector<HWND> list;
};

BOOL CALLBACK collectDialog(HWND h, LPARAM lp) {
    if (IsWindowVisible(h) && classOf(h) == L"#32770") reinterpret_cast<Dialogs*>(lp)->list.push_back(h);
    return TRUE;
}

std::vector<HWND> openDialogs() {
    Dialogs d;
    EnumWindows(collectDialog, reinterpret_cast<LPARAM>(&d));
    return d.list;
}

// The dialog the user would act on: the one that is active, else the first one open.
HWND activeDialog() {
    const std::vector<HWND> all = openDialogs();
    if (all.empty()) return nullptr;
    const HWND fg = GetForegroundWindow();
    for (HWND h : all)
        if (h == fg) return h;
    return all.front();
}

// Message boxes keep their text in a static control with id 0xFFFF (Wine and Windows).
std::wstring boxText(HWND d) {
    for (HWND c = GetWindow(d, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT))
        if (GetDlgCtrlID(c) == 0xFFFF && classOf(c) == L"Static") return textOf(c);
    return L"";
}

int waitFor(const std::wstring& cls, DWORD ms) {
    for (DWORD t = 0;; t += 50) {
        const HWND h = findWindow(cls);
        if (h && IsWindowVisible(h)) return 0;
        if (t >= ms) return 1;
        Sleep(50);
    }
}

int waitGone(const std::wstring& cls, DWORD ms) {
    for (DWORD t = 0;; t += 50) {
        if (!findWindow(cls)) return 0;
        if (t >= ms) return 1;
        Sleep(50);
    }
}

int info(const std::wstring& cls) {
    const HWND h = findWindow(cls);
    if (!h) {
        std::printf("window class=%s missing\n", utf8(cls).c_str());
        return 1;
    }
    RECT w, c;
    GetWindowRect(h, &w);
    GetClientRect(h, &c);
    std::printf("window class=%s title=%s visible=%d x=%ld y=%ld w=%ld h=%ld client=%ldx%ld\n",
                utf8(cls).c_str(), quoted(textOf(h)).c_str(), IsWindowVisible(h) ? 1 : 0, w.left, w.top,
                w.right - w.left, w.bottom - w.top, c.right, c.bottom);
    return 0;
}

int command(const std::wstring& cls, int id) {
    const HWND h = findWindow(cls);
    if (!h) return 1;
    PostMessageW(h, WM_COMMAND, MAKEWPARAM(id, 0), 0);
    sync(h);
    return 0;
}

int move(const std::wstring& cls, int x, int y) {
    const HWND h = findWindow(cls);
    if (!h) return 1;
    SetWindowPos(h, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    sync(h);
    return 0;
}

int keys(const std::wstring& cls, const std::vector<std::wstring>& seq) {
    const HWND h = findWindow(cls);
    if (!h) return 1;
    SetForegroundWindow(h);
    for (const std::wstring& k : seq) {
        if (k == L"menu") {
            PostMessageW(h, WM_SYSCOMMAND, SC_KEYMENU, 0);
        } else {
            const WPARAM vk = static_cast<WPARAM>(wcstol(k.c_str(), nullptr, 10));
            // The menu loop reads the focus thread's queue: post there, whichever window has it.
            HWND target = GetForegroundWindow();
            if (!target) target = h;
            PostMessageW(target, WM_KEYDOWN, vk, 1);
            PostMessageW(target, WM_KEYUP, vk, static_cast<LPARAM>(0xC0000001u));
        }
        Sleep(150);
    }
    return 0;
}

int boxes(const std::wstring& action) {
    for (HWND d : openDialogs()) {
        const HWND owner = GetWindow(d, GW_OWNER);
        RECT r;
        GetWindowRect(d, &r);
        std::printf("box owner=%s caption=%s text=%s x=%ld y=%ld w=%ld h=%ld\n",
                    owner ? utf8(classOf(owner)).c_str() : "-", quoted(textOf(d)).c_str(),
                    quoted(boxText(d)).c_str(), r.left, r.top, r.right - r.left, r.bottom - r.top);
        if (action == L"ok") PostMessageW(d, WM_COMMAND, IDOK, 0);
        if (action == L"cancel") PostMessageW(d, WM_COMMAND, IDCANCEL, 0);
    }
    return 0;
}

int waitBox(DWORD ms) {
    for (DWORD t = 0;; t += 50) {
        if (!openDialogs().empty()) return 0;
        if (t >= ms) return 1;
        Sleep(50);
    }
}

int controls() {
    const HWND d = activeDialog();
    if (!d) return 1;
    std::printf("dialog caption=%s\n", quoted(textOf(d)).c_str());
    for (HWND c = GetWindow(d, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) {
        std::printf("control id=%d class=%s text=%s", GetDlgCtrlID(c), utf8(classOf(c)).c_str(),
                    quoted(textOf(c)).c_str());
        const std::wstring cls = classOf(c);
        const bool combo = cls == L"ComboBox";
        if (combo || cls == L"ListBox") {
            const LRESULT n = SendMessageW(c, combo ? CB_GETCOUNT : LB_GETCOUNT, 0, 0);
            const LRESULT sel = SendMessageW(c, combo ? CB_GETCURSEL : LB_GETCURSEL, 0, 0);
            std::printf(" items=");
            for (LRESULT i = 0; i < n; ++i) {
                wchar_t item[256] = L"";
                SendMessageW(c, combo ? CB_GETLBTEXT : LB_GETTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(item));
                std::printf("%s%s%s", i ? "|" : "", i == sel ? "*" : "", utf8(item).c_str());
            }
        } else if (cls == L"Button") {
            const LRESULT st = SendMessageW(c, BM_GETCHECK, 0, 0);
            if (st == BST_CHECKED) std::printf(" checked");
        }
        std::printf("\n");
    }
    return 0;
}

// Chooses an item of a combo or list box by the start of its text and tells the dialog, as a
// click on the item would.
int select(int id, const std::wstring& text) {
    const HWND d = activeDialog();
    if (!d) return 1;
    const HWND c = GetDlgItem(d, id);
    if (!c) return 1;
    const bool combo = classOf(c) == L"ComboBox";
    const LRESULT i = SendMessageW(c, combo ? CB_FINDSTRING : LB_FINDSTRING, static_cast<WPARAM>(-1),
                                   reinterpret_cast<LPARAM>(text.c_str()));
    if (i < 0) return 1;
    SendMessageW(c, combo ? CB_SETCURSEL : LB_SETCURSEL, static_cast<WPARAM>(i), 0);
    SendMessageW(d, WM_COMMAND, MAKEWPARAM(id, combo ? CBN_SELCHANGE : LBN_SELCHANGE), reinterpret_cast<LPARAM>(c));
    return 0;
}

int click(const std::wstring& what) {
    const HWND d = activeDialog();
    if (!d) return 1;
    wchar_t* end = nullptr;
    const long id = wcstol(what.c_str(), &end, 10);
    const bool byId = end && *end == L'\0' && !what.empty();
    for (HWND c = GetWindow(d, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) {
        if (classOf(c) != L"Button") continue;
        std::wstring label = textOf(c);
        label.erase(std::remove(label.begin(), label.end(), L'&'), label.end());
        if (byId ? GetDlgCtrlID(c) == id : label == what) {
            // Posted: an OK button ends the dialog's modal loop, and a sent click would wait for it.
            PostMessageW(c, BM_CLICK, 0, 0);
            Sleep(100);
            return 0;
        }
    }
    return 1;
}

int run(const std::vector<std::wstring>& a) {
    auto arg = [&](size_t i, const wchar_t* def) { return i < a.size() ? a[i] : std::wstring(def); };
    auto num = [&](size_t i, long def) { return i < a.size() ? wcstol(a[i].c_str(), nullptr, 10) : def; };
    const std::wstring verb = arg(0, L"");
    if (verb == L"wait") return waitFor(arg(1, L""), static_cast<DWORD>(num(2, 20000)));
    if (verb == L"gone") return waitGone(arg(1, L""), static_cast<DWORD>(num(2, 10000)));
    if (verb == L"info") return info(arg(1, L""));
    if (verb == L"cmd" && a.size() > 2) return command(a[1], static_cast<int>(num(2, 0)));
    if (verb == L"move" && a.size() > 3) return move(a[1], static_cast<int>(num(2, 0)), static_cast<int>(num(3, 0)));
    if (verb == L"keys" && a.size() > 2) return keys(a[1], std::vector<std::wstring>(a.begin() + 2, a.end()));
    if (verb == L"boxes") return boxes(arg(1, L""));
    if (verb == L"waitbox") return waitBox(static_cast<DWORD>(num(1, 10000)));
    if (verb == L"controls") return controls();
    if (verb == L"select" && a.size() > 2) return select(static_cast<int>(num(1, 0)), a[2]);
    if (verb == L"click" && a.size() > 1) return click(a[1]);
    std::fprintf(stderr, "usage: pixelwell-drive ACTION [+ ACTION...], ACTION one of wait gone info cmd move "
                         "keys boxes waitbox controls select click\n");
    return 2;
}

}  // namespace

// Several actions in one call are separated by "+" (one Wine start instead of several); the
// exit code is that of the first action that fails.
int main() {
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    std::vector<std::wstring> all(argv + (argc > 0 ? 1 : 0), argv + argc);
    LocalFree(argv);
    int rc = 0;
    std::vector<std::wstring> action;
    for (size_t i = 0; i <= all.size(); ++i) {
        if (i == all.size() || all[i] == L"+") {
            const int r = run(action);
            if (rc == 0) rc = r;
            action.clear();
        } else {
            action.push_back(all[i]);
        }
    }
    std::fflush(stdout);
    return rc;
}
