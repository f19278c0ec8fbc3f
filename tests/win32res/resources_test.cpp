// zem.exe and zemcli.exe as Windows shows them: the version resource that Explorer reads, the
// manifest that selects the themed common controls, and the icon.
#include "ZemVersion.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <vector>

namespace {

constexpr DWORD kVersionMS = (ZEM_VERSION_MAJOR << 16) | ZEM_VERSION_MINOR;

// The programs lie two folders up from this test.
std::string ProgramPath(const std::string& file) {
    char buf[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, buf, sizeof buf);
    std::string path(buf, n);
    for (int up = 0; up < 3; ++up)
        path.resize(path.find_last_of("\\/"));
    return path + "\\" + file;
}

struct Program {
    const char* file;
    const char* description;
};
const Program kPrograms[] = {
    {"zem.exe", "Zem flash programmer"},
    {"zemcli.exe", "Zem flash programmer, command line"},
};
// Every file that ships carries a version; the library has no manifest or icon.
const Program kShipped[] = {
    {"zem.exe", "Zem flash programmer"},
    {"zemcli.exe", "Zem flash programmer, command line"},
    {"ipserial.dll", "Zem network serial library"},
};

std::string VersionString(const std::vector<char>& info, const char* name) {
    char* value = nullptr;
    UINT len = 0;
    std::string key = std::string("\\StringFileInfo\\040904B0\\") + name;
    if (!VerQueryValueA(info.data(), key.c_str(), reinterpret_cast<void**>(&value), &len) || !len)
        return "(none)";
    return std::string(value, strnlen(value, len));
}

std::string Manifest(HMODULE module) {
    HRSRC res = FindResourceA(module, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24));
    if (!res) return {};
    HGLOBAL data = LoadResource(module, res);
    return std::string(static_cast<const char*>(LockResource(data)), SizeofResource(module, res));
}

} // namespace

TEST(WindowsResources, VersionResourceNamesProductVersionAndProgram) {
    for (const Program& p : kShipped) {
        SCOPED_TRACE(p.file);
        std::string path = ProgramPath(p.file);
        DWORD handle = 0;
        DWORD size = GetFileVersionInfoSizeA(path.c_str(), &handle);
        ASSERT_GT(size, 0u) << path << " error " << GetLastError();
        std::vector<char> info(size);
        ASSERT_TRUE(GetFileVersionInfoA(path.c_str(), 0, size, info.data()));
        EXPECT_EQ(VersionString(info, "ProductName"), "Zem");
        EXPECT_EQ(VersionString(info, "ProductVersion"), ZEM_VERSION);
        EXPECT_EQ(VersionString(info, "FileVersion"), ZEM_VERSION);
        EXPECT_EQ(VersionString(info, "FileDescription"), p.description);
        EXPECT_EQ(VersionString(info, "OriginalFilename"), p.file);
        VS_FIXEDFILEINFO* fixed = nullptr;
        UINT len = 0;
        ASSERT_TRUE(VerQueryValueA(info.data(), "\\", reinterpret_cast<void**>(&fixed), &len));
        EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
        EXPECT_EQ(fixed->dwFileVersionMS, kVersionMS);
        EXPECT_EQ(fixed->dwProductVersionMS, kVersionMS);
        // MAJOR.MINOR.PATCH.0: a patch release is told from the release it mends.
        EXPECT_EQ(fixed->dwFileVersionLS, static_cast<DWORD>(ZEM_VERSION_PATCH) << 16);
        EXPECT_EQ(fixed->dwProductVersionLS, static_cast<DWORD>(ZEM_VERSION_PATCH) << 16);
    }
}

TEST(WindowsResources, ManifestAndIcon) {
    for (const Program& p : kPrograms) {
        SCOPED_TRACE(p.file);
        std::string path = ProgramPath(p.file);
        HMODULE module = LoadLibraryExA(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
        ASSERT_NE(module, nullptr) << path;
        std::string manifest = Manifest(module);
        EXPECT_NE(manifest.find("name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\""),
                  std::string::npos)
            << manifest;
        EXPECT_NE(manifest.find("level=\"asInvoker\""), std::string::npos);
        // The manifest's own version is the project's, in four parts.
        const std::string identity =
            "name=\"Zem.FlashProgrammer\" version=\"" ZEM_VERSION_QUAD "\"";
        EXPECT_NE(manifest.find(identity), std::string::npos) << manifest;
        EXPECT_NE(manifest.find(">true</dpiAware>"), std::string::npos);
        // The loader refuses a program whose manifest, or the common controls it asks for, names
        // another processor architecture.
        const std::string arch =
            std::string("processorArchitecture=\"") + (sizeof(void*) == 8 ? "amd64" : "x86") + "\"";
        size_t named = 0;
        for (size_t at = manifest.find(arch); at != std::string::npos;
             at = manifest.find(arch, at + 1))
            ++named;
        EXPECT_EQ(named, 2u) << manifest;
        EXPECT_EQ(manifest.find("processorArchitecture"), manifest.find(arch)) << manifest;
        HICON icon =
            static_cast<HICON>(LoadImageA(module, MAKEINTRESOURCEA(1), IMAGE_ICON, 32, 32, 0));
        EXPECT_NE(icon, nullptr);
        HICON small =
            static_cast<HICON>(LoadImageA(module, MAKEINTRESOURCEA(1), IMAGE_ICON, 16, 16, 0));
        EXPECT_NE(small, nullptr);
        if (icon) DestroyIcon(icon);
        if (small) DestroyIcon(small);
        FreeLibrary(module);
    }
}

std::string LoadedComctl32() {
    HMODULE comctl = LoadLibraryA("comctl32.dll");
    if (!comctl) return "(not loaded)";
    char file[MAX_PATH];
    DWORD n = GetModuleFileNameA(comctl, file, sizeof file);
    std::string path(file, n);
    for (char& c : path)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return path;
}

// The manifest in zem.exe, activated as the loader does at start-up, brings in version 6 of the
// common controls from the side-by-side store, whose controls draw with the visual style; without
// it the program would get the classic controls of the system folder.
TEST(WindowsResources, ZemManifestSelectsCommonControlsSix) {
    // Nothing here loads comctl32.dll before: a loaded one would be handed out again.
    const std::string sixth = "microsoft.windows.common-controls_6595b64144ccf1df_6.0.";

    std::string path = ProgramPath("zem.exe");
    ACTCTXA ctx{};
    ctx.cbSize = sizeof ctx;
    ctx.dwFlags = ACTCTX_FLAG_RESOURCE_NAME_VALID;
    ctx.lpSource = path.c_str();
    ctx.lpResourceName = MAKEINTRESOURCEA(1);
    HANDLE actctx = CreateActCtxA(&ctx);
    ASSERT_NE(actctx, INVALID_HANDLE_VALUE) << "error " << GetLastError();
    ULONG_PTR cookie = 0;
    ASSERT_TRUE(ActivateActCtx(actctx, &cookie));
    EXPECT_NE(LoadedComctl32().find(sixth), std::string::npos) << LoadedComctl32();
    DeactivateActCtx(0, cookie);
    ReleaseActCtx(actctx);
}
