#include "sim_device.h"

#include <vfw.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <utility>

namespace simcam {

namespace {

constexpr UINT_PTR kFrameTimer = 1;
constexpr int32_t kLargestSide = 1600;
constexpr size_t kLargestFrame = static_cast<size_t>(kLargestSide) * 1200 * 3;

struct PendingError {
    bool armed = false;
    int id = 0;
    std::string text;
};

struct Device {
    // Scripted set-up
    std::vector<int> drivers{0};
    BOOL driverAnswer = TRUE;
    bool creationFails = false;
    bool overlayCapable = false;
    std::map<Query, LRESULT> answers;
    PendingError connectError;
    bool timerEnabled = true;
    std::vector<DialogAnswer> formatAnswers, sourceAnswers;
    std::function<void(DialogEvent)> dialogObserver;

    // What the device holds
    HWND window = nullptr;
    CAPERRORCALLBACKA errorCallback = nullptr;
    CAPVIDEOCALLBACK frameCallback = nullptr;
    std::vector<int> connected;
    CAPTUREPARMS parms{};
    bool preview = false;
    bool overlay = false;
    UINT rate = 0;
    int32_t width = 640, height = 480;
    WORD bitCount = 24;
    DWORD compression = BI_RGB;
    Picture picture = Picture::MovingShapes;
    uint32_t frameNumber = 0;
    uint32_t delivered = 0;
    std::vector<uint8_t> frame;     // last rendered picture, 24-bit bottom-up
    std::vector<uint8_t> encoded;   // what the frame callback receives in a non-24-bit format
    VIDEOHDR header{};
    int formatDialogs = 0, sourceDialogs = 0;
    std::vector<CapMessage> log;
    std::vector<DescriptionQuery> descriptions;
    std::vector<WindowRequest> windowRequests;
};

Device g_device;

void defaultParameters(CAPTUREPARMS& p) {
    p = CAPTUREPARMS{};
    p.dwRequestMicroSecPerFrame = 66667;
    p.fMakeUserHitOKToCapture = FALSE;
    p.wPercentDropForError = 10;
    p.fYield = FALSE;
    p.dwIndexSize = 34952;
    p.wChunkGranularity = 0;
    p.fUsingDOSMemory = FALSE;
    p.wNumVideoRequested = 10;
    p.fCaptureAudio = TRUE;
    p.wNumAudioRequested = 4;
    p.vKeyAbort = VK_ESCAPE;
    p.fAbortLeftMouse = TRUE;
    p.fAbortRightMouse = TRUE;
    p.fLimitEnabled = FALSE;
    p.wTimeLimit = 0;
    p.AVStreamMaster = AVSTREAMMASTER_AUDIO;
}

BITMAPINFOHEADER currentFormat() {
    BITMAPINFOHEADER h{};
    h.biSize = sizeof h;
    h.biWidth = g_device.width;
    h.biHeight = g_device.height;
    h.biPlanes = 1;
    h.biBitCount = g_device.bitCount;
    h.biCompression = g_device.compression;
    h.biSizeImage = static_cast<DWORD>(g_device.width * g_device.height * g_device.bitCount / 8);
    return h;
}

bool driverConnected() { return !g_device.connected.empty(); }

// What the description query answers at an index: the scripted answer where a driver is installed.
BOOL installedAnswer(UINT index) {
    const auto& d = g_device.drivers;
    return std::find(d.begin(), d.end(), static_cast<int>(index)) != d.end() ? g_device.driverAnswer : FALSE;
}

void tellDialogObserver(DialogEvent event) {
    if (g_device.dialogObserver) g_device.dialogObserver(event);
}

void updateTimer() {
    HWND w = g_device.window;
    if (!w) return;
    if (g_device.preview && g_device.timerEnabled && g_device.rate > 0 && driverConnected())
        SetTimer(w, kFrameTimer, g_device.rate, nullptr);
    else
        KillTimer(w, kFrameTimer);
}

void renderFrame() {
    renderPicture(g_device.picture, g_device.width, g_device.height, g_device.frameNumber,
                  g_device.frame.data());
}

// The frame bytes in the current format: 24-bit RGB as rendered, 16-bit as RGB 555, and for the
// compressed format a shorter stand-in buffer (nobody decodes it).
std::pair<uint8_t*, DWORD> encodeFrame() {
    const size_t pixels = static_cast<size_t>(g_device.width) * g_device.height;
    if (g_device.compression == BI_RGB && g_device.bitCount == 24)
        return {g_device.frame.data(), static_cast<DWORD>(pixels * 3)};
    if (g_device.compression == BI_RGB && g_device.bitCount == 16) {
        for (size_t i = 0; i < pixels; ++i) {
            const uint8_t* p = &g_device.frame[i * 3];
            const uint16_t v = static_cast<uint16_t>(((p[2] >> 3) << 10) | ((p[1] >> 3) << 5) | (p[0] >> 3));
            std::memcpy(&g_device.encoded[i * 2], &v, 2);
        }
        return {g_device.encoded.data(), static_cast<DWORD>(pixels * 2)};
    }
    const size_t bytes = pixels / 10 + 1;
    std::memcpy(g_device.encoded.data(), g_device.frame.data(), bytes);
    return {g_device.encoded.data(), static_cast<DWORD>(bytes)};
}

//
//  Dialogs, from in-memory templates
//

class DialogTemplate {
public:
    DialogTemplate(const wchar_t* title, short cx, short cy, WORD items) {
        const DWORD style = DS_MODALFRAME | DS_SETFONT | WS_POPUP | WS_CAPTION | WS_SYSMENU;
        putDword(style);
        putDword(0);
        words_.push_back(items);
        putShort(0), putShort(0), putShort(cx), putShort(cy);
        words_.push_back(0);  // no menu
        words_.push_back(0);  // standard dialog class
        putString(title);
        words_.push_back(8);
        putString(L"MS Shell Dlg");
    }
    void item(WORD atom, const wchar_t* text, WORD id, DWORD style, short x, short y, short cx,
              short cy) {
        if (words_.size() % 2) words_.push_back(0);  // items start on a DWORD boundary
        putDword(style | WS_CHILD | WS_VISIBLE);
        putDword(0);
        putShort(x), putShort(y), putShort(cx), putShort(cy);
        words_.push_back(id);
        words_.push_back(0xFFFF);
        words_.push_back(atom);
        putString(text);
        words_.push_back(0);  // no creation data
    }
    LPCDLGTEMPLATEW get() const { return reinterpret_cast<LPCDLGTEMPLATEW>(words_.data()); }

private:
    void putDword(DWORD v) { words_.push_back(LOWORD(v)), words_.push_back(HIWORD(v)); }
    void putShort(short v) { words_.push_back(static_cast<WORD>(v)); }
    void putString(const wchar_t* s) {
        do words_.push_back(static_cast<WORD>(*s)); while (*s++);
    }
    std::vector<WORD> words_;
};

constexpr WORD kButton = 0x0080, kStatic = 0x0082, kListBox = 0x0083;
constexpr DWORD kListStyle = LBS_NOTIFY | WS_BORDER | WS_VSCROLL | WS_TABSTOP;
constexpr WORD kSizeLabelId = 1003, kFormatLabelId = 1004, kPictureLabelId = 1102;

// Answers a dialog opened while a scripted answer waits, as a person pressing the buttons would.
void applyScriptedAnswer(HWND dialog, std::vector<DialogAnswer>& answers, bool isFormat) {
    if (answers.empty()) return;
    const DialogAnswer a = answers.front();
    answers.erase(answers.begin());
    if (isFormat) {
        SendDlgItemMessageW(dialog, kSizeListId, LB_SETCURSEL, a.choice, 0);
        SendDlgItemMessageW(dialog, kFormatListId, LB_SETCURSEL, a.format, 0);
    } else {
        SendDlgItemMessageW(dialog, kPictureListId, LB_SETCURSEL, a.choice, 0);
    }
    PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(a.ok ? IDOK : IDCANCEL, BN_CLICKED), 0);
}

INT_PTR CALLBACK formatDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
        case WM_INITDIALOG: {
            SetPropA(dialog, kDialogProperty, reinterpret_cast<HANDLE>(1));
            int current = 0;
            for (int i = 0; i < kFrameSizeCount; ++i) {
                wchar_t line[32];
                swprintf(line, 32, L"%d x %d", kFrameSizes[i].width, kFrameSizes[i].height);
                SendDlgItemMessageW(dialog, kSizeListId, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(line));
                if (kFrameSizes[i].width == g_device.width && kFrameSizes[i].height == g_device.height)
                    current = i;
            }
            SendDlgItemMessageW(dialog, kSizeListId, LB_SETCURSEL, current, 0);
            current = 0;
            for (int i = 0; i < kFormatCount; ++i) {
                SendDlgItemMessageW(dialog, kFormatListId, LB_ADDSTRING, 0,
                                    reinterpret_cast<LPARAM>(kFormats[i].label));
                if (kFormats[i].bitCount == g_device.bitCount && kFormats[i].compression == g_device.compression)
                    current = i;
            }
            SendDlgItemMessageW(dialog, kFormatListId, LB_SETCURSEL, current, 0);
            tellDialogObserver(DialogEvent::FormatOpened);
            applyScriptedAnswer(dialog, g_device.formatAnswers, true);
            return TRUE;
        }
        case WM_COMMAND:
            if (LOWORD(wParam) == IDOK) {
                const auto size = SendDlgItemMessageW(dialog, kSizeListId, LB_GETCURSEL, 0, 0);
                const auto format = SendDlgItemMessageW(dialog, kFormatListId, LB_GETCURSEL, 0, 0);
                if (size >= 0 && size < kFrameSizeCount && format >= 0 && format < kFormatCount)
                    setFormat(kFrameSizes[size].width, kFrameSizes[size].height,
                              kFormats[format].bitCount, kFormats[format].compression);
                EndDialog(dialog, IDOK);
                return TRUE;
            }
            if (LOWORD(wParam) == IDCANCEL) {
                EndDialog(dialog, IDCANCEL);
                return TRUE;
            }
            break;
        case WM_DESTROY:
            RemovePropA(dialog, kDialogProperty);
            break;
    }
    return FALSE;
}

const wchar_t* const kPictureNames[kPictureCount] = {L"Moving shapes", L"Colour bars", L"Noise",
                                                     L"Still"};

INT_PTR CALLBACK sourceDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
        case WM_INITDIALOG:
            SetPropA(dialog, kDialogProperty, reinterpret_cast<HANDLE>(1));
            for (const wchar_t* name : kPictureNames)
                SendDlgItemMessageW(dialog, kPictureListId, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(name));
            SendDlgItemMessageW(dialog, kPictureListId, LB_SETCURSEL, static_cast<int>(g_device.picture), 0);
            tellDialogObserver(DialogEvent::SourceOpened);
            applyScriptedAnswer(dialog, g_device.sourceAnswers, false);
            return TRUE;
        case WM_COMMAND:
            if (LOWORD(wParam) == IDOK) {
                const auto choice = SendDlgItemMessageW(dialog, kPictureListId, LB_GETCURSEL, 0, 0);
                if (choice >= 0 && choice < kPictureCount) setPicture(static_cast<Picture>(choice));
                EndDialog(dialog, IDOK);
                return TRUE;
            }
            if (LOWORD(wParam) == IDCANCEL) {
                EndDialog(dialog, IDCANCEL);
                return TRUE;
            }
            break;
        case WM_DESTROY:
            RemovePropA(dialog, kDialogProperty);
            break;
    }
    return FALSE;
}

INT_PTR showFormatDialog(HWND owner) {
    DialogTemplate t(L"Video Format", 200, 150, 6);
    t.item(kStatic, L"Frame size:", kSizeLabelId, SS_LEFT, 7, 7, 90, 10);
    t.item(kListBox, L"", kSizeListId, kListStyle, 7, 19, 90, 100);
    t.item(kStatic, L"Format:", kFormatLabelId, SS_LEFT, 103, 7, 90, 10);
    t.item(kListBox, L"", kFormatListId, kListStyle, 103, 19, 90, 100);
    t.item(kButton, L"OK", IDOK, BS_DEFPUSHBUTTON | WS_TABSTOP, 89, 128, 50, 14);
    t.item(kButton, L"Cancel", IDCANCEL, BS_PUSHBUTTON | WS_TABSTOP, 143, 128, 50, 14);
    return DialogBoxIndirectParamW(GetModuleHandleW(nullptr), t.get(), owner, formatDialogProc, 0);
}

INT_PTR showSourceDialog(HWND owner) {
    DialogTemplate t(L"Video Source", 150, 110, 4);
    t.item(kStatic, L"Picture:", kPictureLabelId, SS_LEFT, 7, 7, 136, 10);
    t.item(kListBox, L"", kPictureListId, kListStyle, 7, 19, 136, 64);
    t.item(kButton, L"OK", IDOK, BS_DEFPUSHBUTTON | WS_TABSTOP, 39, 89, 50, 14);
    t.item(kButton, L"Cancel", IDCANCEL, BS_PUSHBUTTON | WS_TABSTOP, 93, 89, 50, 14);
    return DialogBoxIndirectParamW(GetModuleHandleW(nullptr), t.get(), owner, sourceDialogProc, 0);
}

//
//  The capture window
//

// True, with the answer, when a test has scripted what this query answers.
bool scripted(Query q, LRESULT& result) {
    const auto it = g_device.answers.find(q);
    if (it == g_device.answers.end()) return false;
    result = it->second;
    return true;
}

LRESULT getSequenceSetup(WPARAM size, LPARAM record) {
    if (size < sizeof(CAPTUREPARMS) || !record) return FALSE;
    LRESULT result;
    if (scripted(Query::SequenceSetup, result) && result == 0) return 0;
    std::memcpy(reinterpret_cast<void*>(record), &g_device.parms, sizeof(CAPTUREPARMS));
    return scripted(Query::SequenceSetup, result) ? result : TRUE;
}

LRESULT getStatus(WPARAM size, LPARAM record) {
    if (size < sizeof(CAPSTATUS) || !record) return FALSE;
    LRESULT result;
    if (scripted(Query::Status, result) && result == 0) return 0;
    CAPSTATUS s{};
    s.uiImageWidth = driverConnected() ? static_cast<UINT>(g_device.width) : 0;
    s.uiImageHeight = driverConnected() ? static_cast<UINT>(g_device.height) : 0;
    s.fLiveWindow = g_device.preview;
    s.fOverlayWindow = g_device.overlay;
    s.dwCurrentVideoFrame = g_device.delivered;
    std::memcpy(reinterpret_cast<void*>(record), &s, sizeof s);
    return scripted(Query::Status, result) ? result : TRUE;
}

LRESULT getVideoFormat(WPARAM size, LPARAM record) {
    if (!driverConnected()) return 0;
    const BITMAPINFOHEADER h = currentFormat();
    if (size == 0 || !record) return sizeof h;  // the size a caller needs
    LRESULT result;
    if (scripted(Query::VideoFormat, result) && result == 0) return 0;
    const size_t bytes = std::min<size_t>(size, sizeof h);
    std::memcpy(reinterpret_cast<void*>(record), &h, bytes);
    return scripted(Query::VideoFormat, result) ? result : static_cast<LRESULT>(bytes);
}

LRESULT getDriverCaps(WPARAM size, LPARAM record) {
    if (!driverConnected() || size < sizeof(CAPDRIVERCAPS) || !record) return FALSE;
    LRESULT result;
    if (scripted(Query::DriverCaps, result) && result == 0) return 0;
    CAPDRIVERCAPS caps{};
    caps.wDeviceIndex = static_cast<UINT>(g_device.connected.back());
    caps.fHasOverlay = g_device.overlayCapable;
    caps.fHasDlgVideoSource = TRUE;
    caps.fHasDlgVideoFormat = TRUE;
    caps.fCaptureInitialized = TRUE;
    std::memcpy(reinterpret_cast<void*>(record), &caps, sizeof caps);
    return scripted(Query::DriverCaps, result) ? result : TRUE;
}

void paintPreview(HWND window) {
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(window, &ps);
    RECT client;
    GetClientRect(window, &client);
    FillRect(dc, &client, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)));
    if ((g_device.preview || g_device.overlay) && driverConnected()) {
        BITMAPINFO info{};
        info.bmiHeader = currentFormat();
        info.bmiHeader.biBitCount = 24;
        info.bmiHeader.biCompression = BI_RGB;
        SetDIBitsToDevice(dc, 0, 0, g_device.width, g_device.height, 0, 0, 0, g_device.height,
                          g_device.frame.data(), &info, DIB_RGB_COLORS);
    }
    EndPaint(window, &ps);
}

LRESULT CALLBACK deviceWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message >= WM_CAP_START && message <= WM_CAP_END)
        g_device.log.push_back({message, wParam, lParam});
    switch (message) {
        case WM_CAP_SET_CALLBACK_ERRORA:
            g_device.errorCallback = reinterpret_cast<CAPERRORCALLBACKA>(lParam);
            return TRUE;
        case WM_CAP_SET_CALLBACK_FRAME:
            g_device.frameCallback = reinterpret_cast<CAPVIDEOCALLBACK>(lParam);
            return TRUE;
        case WM_CAP_DRIVER_CONNECT: {
            const int index = static_cast<int>(wParam);
            if (installedAnswer(static_cast<UINT>(index)) != TRUE) return FALSE;
            g_device.connected.push_back(index);
            renderFrame();
            updateTimer();
            if (g_device.connectError.armed) {
                g_device.connectError.armed = false;
                raiseError(g_device.connectError.id, g_device.connectError.text);
            }
            return TRUE;
        }
        case WM_CAP_DRIVER_DISCONNECT:
            g_device.connected.clear();
            updateTimer();
            return TRUE;
        case WM_CAP_GET_SEQUENCE_SETUP:
            return getSequenceSetup(wParam, lParam);
        case WM_CAP_SET_SEQUENCE_SETUP:
            if (wParam < sizeof(CAPTUREPARMS) || !lParam) return FALSE;
            std::memcpy(&g_device.parms, reinterpret_cast<void*>(lParam), sizeof(CAPTUREPARMS));
            return TRUE;
        case WM_CAP_SET_PREVIEWRATE:
            g_device.rate = static_cast<UINT>(wParam);
            updateTimer();
            return TRUE;
        case WM_CAP_SET_PREVIEW:
            g_device.preview = wParam != 0;
            if (g_device.preview) g_device.overlay = false;
            updateTimer();
            InvalidateRect(window, nullptr, TRUE);
            return TRUE;
        case WM_CAP_SET_OVERLAY:
            // A driver without overlay refuses; one with it drops preview, and the frames with it.
            if (!driverConnected() || !g_device.overlayCapable) return FALSE;
            g_device.overlay = wParam != 0;
            if (g_device.overlay) g_device.preview = false;
            updateTimer();
            InvalidateRect(window, nullptr, TRUE);
            return TRUE;
        case WM_CAP_DRIVER_GET_CAPS:
            return getDriverCaps(wParam, lParam);
        case WM_CAP_GET_STATUS:
            return getStatus(wParam, lParam);
        case WM_CAP_GET_VIDEOFORMAT:
            return getVideoFormat(wParam, lParam);
        case WM_CAP_SET_VIDEOFORMAT: {
            if (!driverConnected() || wParam < sizeof(BITMAPINFOHEADER) || !lParam) return FALSE;
            const auto* h = reinterpret_cast<const BITMAPINFOHEADER*>(lParam);
            if (h->biWidth <= 0 || h->biWidth > kLargestSide || h->biHeight <= 0 || h->biHeight > 1200)
                return FALSE;
            setFormat(h->biWidth, h->biHeight, h->biBitCount, h->biCompression);
            return TRUE;
        }
        case WM_CAP_DLG_VIDEOFORMAT:
            if (!driverConnected()) return FALSE;
            ++g_device.formatDialogs;
            showFormatDialog(GetAncestor(window, GA_ROOT));
            tellDialogObserver(DialogEvent::FormatClosed);
            return TRUE;
        case WM_CAP_DLG_VIDEOSOURCE:
            if (!driverConnected()) return FALSE;
            ++g_device.sourceDialogs;
            showSourceDialog(GetAncestor(window, GA_ROOT));
            tellDialogObserver(DialogEvent::SourceClosed);
            return TRUE;
        case WM_TIMER:
            if (wParam == kFrameTimer) deliverFrame();
            return 0;
        case WM_PAINT:
            paintPreview(window);
            return 0;
        case WM_ERASEBKGND:
            return 1;  // the paint covers everything
        case WM_DESTROY:
            KillTimer(window, kFrameTimer);
            if (g_device.window == window) g_device.window = nullptr;
            g_device.errorCallback = nullptr;
            g_device.frameCallback = nullptr;
            g_device.connected.clear();
            g_device.preview = g_device.overlay = false;
            return 0;
    }
    if (message >= WM_CAP_START && message <= WM_CAP_END) return FALSE;
    return DefWindowProcA(window, message, wParam, lParam);
}

}  // namespace

void resetDevice() {
    if (g_device.window && IsWindow(g_device.window)) DestroyWindow(g_device.window);
    g_device = Device{};
    defaultParameters(g_device.parms);
    g_device.frame.assign(kLargestFrame, 0);
    g_device.encoded.assign(kLargestFrame, 0);
}

void setDrivers(const std::vector<int>& indices, BOOL answer) {
    g_device.drivers = indices;
    g_device.driverAnswer = answer;
}

void setWindowCreationFails(bool fails) { g_device.creationFails = fails; }
void setOverlayCapable(bool capable) { g_device.overlayCapable = capable; }

void setQueryAnswer(Query query, LRESULT result) { g_device.answers[query] = result; }
void clearQueryAnswers() { g_device.answers.clear(); }

void raiseError(int id, const std::string& text) {
    if (g_device.errorCallback) g_device.errorCallback(g_device.window, id, text.c_str());
}

void raiseErrorOnConnect(int id, const std::string& text) { g_device.connectError = {true, id, text}; }

void setFrameTimer(bool enabled) {
    g_device.timerEnabled = enabled;
    updateTimer();
}

bool deliverFrame() {
    if (!g_device.window || !driverConnected() || !g_device.preview) return false;
    ++g_device.frameNumber;
    renderFrame();
    InvalidateRect(g_device.window, nullptr, FALSE);
    if (!g_device.frameCallback) return false;
    const auto [data, length] = encodeFrame();
    VIDEOHDR& h = g_device.header;
    h = VIDEOHDR{};
    h.lpData = data;
    h.dwBufferLength = length;
    h.dwBytesUsed = length;
    h.dwTimeCaptured = g_device.frameNumber * g_device.rate;
    h.dwFlags = VHDR_DONE | VHDR_KEYFRAME;
    ++g_device.delivered;
    g_device.frameCallback(g_device.window, &h);
    return true;
}

uint32_t framesDelivered() { return g_device.delivered; }

void setFormat(int32_t width, int32_t height, WORD bitCount, DWORD compression) {
    g_device.width = std::clamp(width, 1, kLargestSide);
    g_device.height = std::clamp(height, 1, 1200);
    g_device.bitCount = bitCount;
    g_device.compression = compression;
    renderFrame();
    if (g_device.window) InvalidateRect(g_device.window, nullptr, FALSE);
}

void setPicture(Picture p) {
    g_device.picture = p;
    renderFrame();
}
Picture picture() { return g_device.picture; }
const uint8_t* lastFrame() { return g_device.frame.data(); }

void answerFormatDialog(const DialogAnswer& answer) { g_device.formatAnswers.push_back(answer); }
void answerSourceDialog(const DialogAnswer& answer) { g_device.sourceAnswers.push_back(answer); }
int formatDialogsShown() { return g_device.formatDialogs; }
int sourceDialogsShown() { return g_device.sourceDialogs; }
void setDialogObserver(std::function<void(DialogEvent)> observer) {
    g_device.dialogObserver = std::move(observer);
}

const std::vector<CapMessage>& messageLog() { return g_device.log; }
void clearMessageLog() { g_device.log.clear(); }
const std::vector<DescriptionQuery>& descriptionQueries() { return g_device.descriptions; }
const std::vector<WindowRequest>& windowRequests() { return g_device.windowRequests; }
HWND deviceWindow() { return g_device.window; }
bool previewOn() { return g_device.preview; }
bool overlayOn() { return g_device.overlay; }
UINT previewRate() { return g_device.rate; }
const CAPTUREPARMS& parameters() { return g_device.parms; }
std::vector<int> connectedDrivers() { return g_device.connected; }

HWND createDeviceWindow(LPCSTR name, DWORD style, int x, int y, int width, int height,
                        HWND parent, int id) {
    if (g_device.frame.empty()) resetDevice();
    g_device.windowRequests.push_back({name ? name : "", style, x, y, width, height, parent, id});
    if (g_device.creationFails) return nullptr;
    const HINSTANCE instance = GetModuleHandleA(nullptr);
    WNDCLASSEXA wc{};
    wc.cbSize = sizeof wc;
    if (!GetClassInfoExA(instance, kDeviceClassName, &wc)) {
        wc = WNDCLASSEXA{};
        wc.cbSize = sizeof wc;
        wc.lpfnWndProc = deviceWindowProc;
        wc.hInstance = instance;
        wc.hCursor = LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_ARROW));
        wc.lpszClassName = kDeviceClassName;
        if (!RegisterClassExA(&wc)) return nullptr;
    }
    HWND w = CreateWindowExA(0, kDeviceClassName, name, style, x, y, width, height, parent,
                             reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance, nullptr);
    if (w) g_device.window = w;
    return w;
}

BOOL describeDriver(UINT index, LPSTR name, int nameChars, LPSTR version, int versionChars) {
    g_device.descriptions.push_back({index, nameChars, versionChars});
    const BOOL answer = installedAnswer(index);
    if (answer == 0) return FALSE;
    // The name fills the buffer it is offered, as a driver with a long name would.
    if (name && nameChars > 0) {
        const int length = std::snprintf(name, nameChars, "Pixelwell simulated camera %u ", index);
        for (int k = std::max(length, 0); k < nameChars - 1; ++k) name[k] = '.';
        name[nameChars - 1] = '\0';
    }
    if (version && versionChars > 0) std::snprintf(version, versionChars, "1.0");
    return answer;
}

}  // namespace simcam
