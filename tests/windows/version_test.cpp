// The version resource Explorer shows for the program: the project's version, in numbers and text.
#include <windows.h>

#include <string>

#include "pixelwell_version.h"
#include "test_support.h"

namespace {

std::wstring versionString(const std::vector<char>& info, const wchar_t* name) {
    void* value = nullptr;
    UINT length = 0;
    const std::wstring path = std::wstring(L"\\StringFileInfo\\041104B0\\") + name;
    if (!VerQueryValueW(info.data(), path.c_str(), &value, &length) || length == 0) return L"(none)";
    return static_cast<const wchar_t*>(value);
}

}  // namespace

TEST(VersionResource, ThePixelwellExecutableCarriesTheProjectVersion) {
    std::string path = std::string("Z:") + PIXELWELL_EXE;
    for (char& ch : path) ch = ch == '/' ? '\\' : ch;
    DWORD handle = 0;
    const DWORD size = GetFileVersionInfoSizeA(path.c_str(), &handle);
    ASSERT_NE(size, 0u) << path << " has no version resource";
    std::vector<char> info(size);
    ASSERT_TRUE(GetFileVersionInfoA(path.c_str(), 0, size, info.data()));

    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueA(info.data(), "\\", reinterpret_cast<void**>(&fixed), &length));
    EXPECT_EQ(fixed->dwFileVersionMS, static_cast<DWORD>(MAKELONG(PIXELWELL_VERSION_MINOR, PIXELWELL_VERSION_MAJOR)));
    EXPECT_EQ(fixed->dwFileVersionLS, static_cast<DWORD>(MAKELONG(0, PIXELWELL_VERSION_PATCH)));
    EXPECT_EQ(fixed->dwProductVersionMS, fixed->dwFileVersionMS);

    const std::string text = PIXELWELL_VERSION;
    const std::wstring expected(text.begin(), text.end());
    EXPECT_EQ(versionString(info, L"FileVersion"), expected);
    EXPECT_EQ(versionString(info, L"ProductVersion"), expected);
    EXPECT_EQ(versionString(info, L"ProductName"), L"Pixelwell");
    EXPECT_EQ(versionString(info, L"OriginalFilename"), L"pixelwell.exe");
}
