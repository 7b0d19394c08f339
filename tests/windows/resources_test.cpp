// launcher.exe carries the application icon (one 256 x 256 image), its version and its
// application manifest.
#ifdef _WIN32
#include <gtest/gtest.h>

#include "platform/files.h"
#include "platform/system.h"
#include "platform/wide_windows.h"

#include <windows.h>

#include <string>

namespace {

// The launcher built next to this test program's folder (build-windows/launcher.exe).
std::string launcher_exe() {
    std::string tests = platform::parent_folder(platform::executable_path());
    return platform::join_path(platform::parent_folder(tests), "launcher.exe");
}

struct Module {
    HMODULE h;
    explicit Module(const std::string& path)
        : h(LoadLibraryExW(platform::widen(path).c_str(), nullptr,
                           LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE)) {}
    ~Module() {
        if (h) FreeLibrary(h);
    }
};

TEST(LauncherResources, TheIconIsOneImageOf256Pixels) {
    if (!platform::is_regular_file(platform::join_path(TARNWICK_SOURCE_DIR, "assets/icon/tarnwick-256.png")))
        GTEST_SKIP() << "no icon in this tree";
    Module exe(launcher_exe());
    ASSERT_NE(exe.h, nullptr) << launcher_exe();
    HRSRC group = FindResourceW(exe.h, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(14));   // RT_GROUP_ICON
    ASSERT_NE(group, nullptr);
    EXPECT_EQ(SizeofResource(exe.h, group), 6u + 14u);   // the directory and one entry
    HRSRC image = FindResourceW(exe.h, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(3));     // RT_ICON
    ASSERT_NE(image, nullptr);
    const auto* bytes = static_cast<const unsigned char*>(LockResource(LoadResource(exe.h, image)));
    ASSERT_NE(bytes, nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(bytes) + 1, 3), "PNG");

    // The directory entry must name the image's true size, or Windows shows no icon.
    const auto* dir = static_cast<const unsigned char*>(LockResource(LoadResource(exe.h, group)));
    ASSERT_NE(dir, nullptr);
    DWORD named = DWORD(dir[14]) | DWORD(dir[15]) << 8 | DWORD(dir[16]) << 16 | DWORD(dir[17]) << 24;
    EXPECT_EQ(named, SizeofResource(exe.h, image));

    HICON icon = static_cast<HICON>(LoadImageW(exe.h, MAKEINTRESOURCEW(1), IMAGE_ICON, 256, 256, 0));
    ASSERT_NE(icon, nullptr);
    ICONINFO info{};
    ASSERT_TRUE(GetIconInfo(icon, &info));
    BITMAP bm{};
    GetObjectW(info.hbmColor ? info.hbmColor : info.hbmMask, sizeof bm, &bm);
    EXPECT_EQ(bm.bmWidth, 256);
    if (info.hbmColor) DeleteObject(info.hbmColor);
    if (info.hbmMask) DeleteObject(info.hbmMask);
    DestroyIcon(icon);
}

TEST(LauncherResources, TheVersionIsTheLaunchersOwn) {
    Module exe(launcher_exe());
    ASSERT_NE(exe.h, nullptr);
    HRSRC version = FindResourceW(exe.h, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(16));   // RT_VERSION
    ASSERT_NE(version, nullptr);
    const auto* data = static_cast<const wchar_t*>(LockResource(LoadResource(exe.h, version)));
    std::wstring_view text(data, SizeofResource(exe.h, version) / sizeof(wchar_t));
    EXPECT_NE(text.find(L"FileVersion"), std::wstring_view::npos);
    EXPECT_NE(text.find(platform::widen(TARNWICK_VERSION)), std::wstring_view::npos);
    EXPECT_NE(text.find(L"launcher.exe"), std::wstring_view::npos);
}

TEST(LauncherResources, TheManifestDeclaresDpiAwarenessUtf8AndWindows10) {
    Module exe(launcher_exe());
    ASSERT_NE(exe.h, nullptr);
    HRSRC manifest = FindResourceW(exe.h, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));   // RT_MANIFEST
    ASSERT_NE(manifest, nullptr);
    const auto* data = static_cast<const char*>(LockResource(LoadResource(exe.h, manifest)));
    ASSERT_NE(data, nullptr);
    std::string text(data, SizeofResource(exe.h, manifest));
    for (const char* part : {">PerMonitorV2, PerMonitor</dpiAwareness>", ">true/pm</dpiAware>",
                             ">UTF-8</activeCodePage>", "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",
                             "level=\"asInvoker\"", "version=\"" TARNWICK_VERSION ".0\""})
        EXPECT_NE(text.find(part), std::string::npos) << part;
}

}  // namespace
#endif
