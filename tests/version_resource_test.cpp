// The Windows DLL carries a version resource with the project's version, as Explorer and
// installers read it.
#include "test_support.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

namespace velmora {
namespace {

class VersionResource : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string file = test::ExecutableDirectory() + VELMORA_LIBRARY_FILE;
        DWORD handle = 0;
        const DWORD size = GetFileVersionInfoSizeA(file.c_str(), &handle);
        ASSERT_NE(size, 0u) << file << " has no version resource";
        data_.resize(size);
        ASSERT_TRUE(GetFileVersionInfoA(file.c_str(), 0, size, data_.data()));
    }

    std::string Text(const char* name) {
        void* value = nullptr;
        UINT length = 0;
        const std::string path = std::string("\\StringFileInfo\\040904B0\\") + name;
        if (!VerQueryValueA(data_.data(), path.c_str(), &value, &length) || length == 0) return "<missing>";
        return static_cast<const char*>(value);
    }

    std::vector<char> data_;
};

TEST_F(VersionResource, NumbersAreTheProjectVersion) {
    void* value = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueA(data_.data(), "\\", &value, &length));
    ASSERT_EQ(length, sizeof(VS_FIXEDFILEINFO));
    const auto* info = static_cast<const VS_FIXEDFILEINFO*>(value);
    EXPECT_EQ(info->dwSignature, 0xFEEF04BDu);
    const DWORD high = MAKELONG(VELMORA_VERSION_MINOR, VELMORA_VERSION_MAJOR);
    const DWORD low = MAKELONG(0, VELMORA_VERSION_PATCH);
    EXPECT_EQ(info->dwFileVersionMS, high);
    EXPECT_EQ(info->dwFileVersionLS, low);
    EXPECT_EQ(info->dwProductVersionMS, high);
    EXPECT_EQ(info->dwProductVersionLS, low);
    EXPECT_EQ(info->dwFileType, static_cast<DWORD>(VFT_DLL));
}

TEST_F(VersionResource, TextsNameTheLibraryAndItsVersion) {
    EXPECT_EQ(Text("FileDescription"), "Velmora video-server plug-in host");
    EXPECT_EQ(Text("FileVersion"), VELMORA_VERSION);
    EXPECT_EQ(Text("ProductVersion"), VELMORA_VERSION);
    EXPECT_EQ(Text("ProductName"), "Velmora");
    EXPECT_EQ(Text("OriginalFilename"), "Velmora.dll");
}

}  // namespace
}  // namespace velmora
