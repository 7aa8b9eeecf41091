// The version record that resources/AggiornaDV.rc puts into the executable,
// read back the way Explorer reads it. This test program carries the record.
#include <gtest/gtest.h>

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <ostream>
#include <string>
#include <vector>

namespace {

// The program under test: $ADV_VERSIONED_PROGRAM (AggiornaDV.exe, in the
// whole Windows build), else this test program itself.
std::wstring programPath()
{
    std::wstring path(32768, L'\0');
    DWORD length = GetEnvironmentVariableW(L"ADV_VERSIONED_PROGRAM", path.data(), static_cast<DWORD>(path.size()));
    if (length == 0 || length >= path.size())
        length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    path.resize(length);
    return path;
}

std::vector<char> ownVersionRecord()
{
    const std::wstring self = programPath();
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(self.c_str(), &ignored);
    std::vector<char> record(size);
    if (size == 0 || !GetFileVersionInfoW(self.c_str(), 0, size, record.data()))
        record.clear();
    return record;
}

// The value at `key` and its length as VerQueryValueW reports it.
template <typename T>
const T* query(std::vector<char>& record, const std::wstring& key, UINT* length = nullptr)
{
    void* value = nullptr;
    UINT size = 0;
    if (!VerQueryValueW(record.data(), key.c_str(), &value, &size) || value == nullptr)
        return nullptr;
    if (length != nullptr)
        *length = size;
    return static_cast<const T*>(value);
}

class VersionResource : public testing::Test {
protected:
    void SetUp() override { ASSERT_FALSE(record.empty()) << "the test program carries no version record"; }

    std::vector<char> record = ownVersionRecord();
};

TEST_F(VersionResource, NumbersAre1_0_0_11)
{
    const auto* fixed = query<VS_FIXEDFILEINFO>(record, L"\\");
    ASSERT_NE(fixed, nullptr);
    EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
    EXPECT_EQ(fixed->dwFileVersionMS, 0x00010000u);
    EXPECT_EQ(fixed->dwFileVersionLS, 0x0000000Bu);
    EXPECT_EQ(fixed->dwProductVersionMS, 0x00010000u);
    EXPECT_EQ(fixed->dwProductVersionLS, 0x0000000Bu);
    EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_APP));
}

TEST_F(VersionResource, LanguageIsItalianInUnicode)
{
    struct Translation {
        WORD language;
        WORD codePage;
    };
    UINT length = 0;
    const auto* translation = query<Translation>(record, L"\\VarFileInfo\\Translation", &length);
    ASSERT_NE(translation, nullptr);
    ASSERT_EQ(length, sizeof(Translation));
    EXPECT_EQ(translation->language, 0x0410);
    EXPECT_EQ(translation->codePage, 1200);
    EXPECT_NE(FindResourceExW(nullptr, MAKEINTRESOURCEW(16), MAKEINTRESOURCEW(VS_VERSION_INFO),
                              MAKELANGID(LANG_ITALIAN, SUBLANG_ITALIAN)),
              nullptr)
        << "the record is not filed under Italian";
}

struct StringCase {
    const wchar_t* key;
    const wchar_t* value;
};

void PrintTo(const StringCase& c, std::ostream* out)
{
    *out << testing::PrintToString(std::wstring(c.key));
}

class VersionResourceStrings : public VersionResource, public testing::WithParamInterface<StringCase> {};

TEST_P(VersionResourceStrings, StringTableHoldsTheValue)
{
    const StringCase& c = GetParam();
    UINT length = 0;
    const auto* text = query<wchar_t>(record, std::wstring(L"\\StringFileInfo\\041004B0\\") + c.key, &length);
    ASSERT_NE(text, nullptr) << "no " << testing::PrintToString(std::wstring(c.key));
    EXPECT_EQ(std::wstring(text), c.value);
}

INSTANTIATE_TEST_SUITE_P(
    Keys, VersionResourceStrings,
    testing::Values(StringCase{L"ProductName", L"AggiornaDV"}, StringCase{L"InternalName", L"AggiornaDV"},
                    StringCase{L"OriginalFilename", L"AggiornaDV.exe"}, StringCase{L"FileVersion", L"1.00.0011"},
                    StringCase{L"ProductVersion", L"1.00.0011"}, StringCase{L"CompanyName", L"ZORVANIK"},
                    StringCase{L"FileDescription", L"Aggiornamento Software"}),
    [](const testing::TestParamInfo<StringCase>& row) {
        std::string name;
        for (const wchar_t* c = row.param.key; *c != L'\0'; ++c)
            name += static_cast<char>(*c);
        return name;
    });

// Resource 1 of `type` in the program, as its loader reads it.
std::string resource(WORD type)
{
    const HMODULE program =
        LoadLibraryExW(programPath().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    const HRSRC found = program ? FindResourceW(program, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(type)) : nullptr;
    const auto* bytes = found ? static_cast<const char*>(LockResource(LoadResource(program, found))) : nullptr;
    std::string out = bytes ? std::string(bytes, SizeofResource(program, found)) : std::string();
    if (program)
        FreeLibrary(program);
    return out;
}

// The one icon of the file, as Explorer picks it: 48 x 48, 256 colours.
TEST(VersionResourceIcon, TheProgramCarriesItsIcon)
{
    const std::string group = resource(14);  // RT_GROUP_ICON
    ASSERT_GE(group.size(), 6u + 14u);
    const auto* directory = reinterpret_cast<const BYTE*>(group.data());
    EXPECT_EQ(directory[4] | (directory[5] << 8), 1) << "one image";
    const BYTE* entry = directory + 6;  // GRPICONDIRENTRY
    EXPECT_EQ(entry[0], 48);
    EXPECT_EQ(entry[1], 48);
    EXPECT_EQ(entry[6] | (entry[7] << 8), 8) << "bits per pixel: 256 colours";
}

// Windows lets a program past 260 characters only when its manifest asks.
TEST(ProgramManifest, AsksForLongPaths)
{
    const std::string manifest = resource(24);  // RT_MANIFEST
    EXPECT_NE(manifest.find("longPathAware>true<"), std::string::npos) << manifest;
}

}  // namespace
