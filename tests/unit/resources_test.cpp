// The program's built-in resources, read back from the built executable.
#include <gtest/gtest.h>

#include <string>
#include <vector>
#include <algorithm>

#include "tests/support/test_files.h"

namespace {

struct ResourcesTest : ::testing::Test {
    std::wstring path = sibling_program(L"quenvar-os-usb-writer.exe");
    HMODULE module = NULL;
    void SetUp() override
    {
        module = LoadLibraryExW(path.c_str(), NULL, LOAD_LIBRARY_AS_DATAFILE);
        ASSERT_TRUE(module != NULL);
    }
    void TearDown() override { FreeLibrary(module); }
    std::string resource(LPCWSTR type, LPCWSTR name)
    {
        HRSRC found = FindResourceW(module, name, type);
        if (!found) return std::string();
        const char *data = (const char *)LockResource(LoadResource(module, found));
        return std::string(data, SizeofResource(module, found));
    }
};

#pragma pack(push, 2)
struct IconGroupEntry {
    BYTE width, height, colours, reserved;
    WORD planes, bit_count;
    DWORD bytes;
    WORD id;
};
#pragma pack(pop)

TEST_F(ResourcesTest, ManifestAsksForAdministratorAndCommonControls6)
{
    std::string manifest = resource(RT_MANIFEST, MAKEINTRESOURCEW(1));
    for (const char *part : {"level=\"requireAdministrator\"", "Microsoft.Windows.Common-Controls",
                             "version=\"6.0.0.0\"", ">true</dpiAware>",
                             "name=\"Quenvar.OsUsbWriter\" version=\"1.0.3.0\"",
#ifdef _WIN64
                             "processorArchitecture=\"amd64\"",
#else
                             "processorArchitecture=\"x86\"",
#endif
                             "<description>quenvar OS USB Writer</description>",
                             "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",
                             "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",
                             "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",
                             "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"})
        EXPECT_NE(manifest.find(part), std::string::npos) << part;
}

TEST_F(ResourcesTest, VersionBlockCarriesTheProductStrings)
{
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
    ASSERT_GT(size, 0u);
    std::vector<BYTE> block(size);
    ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, size, block.data()));
    VS_FIXEDFILEINFO *fixed = NULL;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(block.data(), L"\\", (void **)&fixed, &length));
    EXPECT_EQ(fixed->dwFileVersionMS, 0x00010000u);
    EXPECT_EQ(fixed->dwFileVersionLS, 0x00030000u);
    EXPECT_EQ(fixed->dwProductVersionMS, 0x00010000u);
    EXPECT_EQ(fixed->dwProductVersionLS, 0x00030000u);
    const wchar_t *expected[][2] = {
        {L"CompanyName", L"Quenvar"},
        {L"FileDescription", L"quenvar OS USB Writer"},
        {L"FileVersion", L"1.0.3"},
        {L"InternalName", L"quenvar-os-usb-writer"},
        {L"OriginalFilename", L"quenvar-os-usb-writer.exe"},
        {L"ProductName", L"quenvar OS"},
        {L"ProductVersion", L"1.0.3"},
    };
    for (auto &pair : expected) {
        std::wstring key = std::wstring(L"\\StringFileInfo\\040904b0\\") + pair[0];
        wchar_t *value = NULL;
        ASSERT_TRUE(VerQueryValueW(block.data(), key.c_str(), (void **)&value, &length)) << pair[0];
        EXPECT_STREQ(value, pair[1]);
    }
}

TEST_F(ResourcesTest, IconGroupOneHoldsFiveSizesWithTheLargestAsPng)
{
    std::string group = resource(RT_GROUP_ICON, MAKEINTRESOURCEW(1));
    ASSERT_GE(group.size(), 6u);
    WORD count = *(const WORD *)(group.data() + 4);
    ASSERT_EQ(count, 5);
    ASSERT_EQ(group.size(), 6u + 5u * sizeof(IconGroupEntry));
    std::vector<int> sizes;
    for (int i = 0; i < count; ++i) {
        const IconGroupEntry *entry =
            (const IconGroupEntry *)(group.data() + 6 + i * sizeof(IconGroupEntry));
        int pixels = entry->width ? entry->width : 256;
        sizes.push_back(pixels);
        std::string image = resource(RT_ICON, MAKEINTRESOURCEW(entry->id));
        ASSERT_EQ(image.size(), entry->bytes);
        bool png = image.compare(0, 8, "\x89PNG\r\n\x1a\n") == 0;
        EXPECT_EQ(png, pixels == 256) << pixels;
    }
    std::sort(sizes.begin(), sizes.end());
    EXPECT_EQ(sizes, (std::vector<int>{16, 24, 32, 48, 256}));
}

}  // namespace
