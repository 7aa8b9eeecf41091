// Which DLLs AggiornaDV.exe loads as it starts, read from its import table:
// not the window's (Direct3D, the common dialogs, the shell...), which are
// delay-loaded, so that --sweep and --update start as fast as a bare
// program. That the window still gets them is wine.Program's to show.
// (GNU ld leaves the delay-import directory entry empty: the delay-load
// helper finds its descriptors itself, so only the import table is read.)
#include <gtest/gtest.h>

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

namespace {

std::optional<std::wstring> program()
{
    std::wstring path(32768, L'\0');
    const DWORD length =
        GetEnvironmentVariableW(L"ADV_VERSIONED_PROGRAM", path.data(), static_cast<DWORD>(path.size()));
    if (length == 0 || length >= path.size())
        return std::nullopt;
    path.resize(length);
    return path;
}

std::string lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// The names of the DLLs in the import table of a PE32+ file.
class Imports {
public:
    explicit Imports(const std::wstring& path)
    {
        std::ifstream in(path.c_str(), std::ios::binary);
        bytes_.assign(std::istreambuf_iterator<char>(in), {});
        const auto* dos = at<IMAGE_DOS_HEADER>(0);
        if (dos == nullptr || dos->e_magic != IMAGE_DOS_SIGNATURE)
            return;
        nt_ = at<IMAGE_NT_HEADERS64>(static_cast<std::size_t>(dos->e_lfanew));
        if (nt_ == nullptr || nt_->Signature != IMAGE_NT_SIGNATURE ||
            nt_->OptionalHeader.Magic != IMAGE_NT_OPTIONAL_HDR64_MAGIC)
            nt_ = nullptr;
    }

    bool valid() const { return nt_ != nullptr; }

    std::vector<std::string> names() const
    {
        std::vector<std::string> names;
        for (std::size_t offset = directory(IMAGE_DIRECTORY_ENTRY_IMPORT); offset != 0;
             offset += sizeof(IMAGE_IMPORT_DESCRIPTOR)) {
            const auto* entry = at<IMAGE_IMPORT_DESCRIPTOR>(offset);
            if (entry == nullptr || entry->Name == 0)
                break;
            names.push_back(name(entry->Name));
        }
        return names;
    }

private:
    template <typename T>
    const T* at(std::size_t offset) const
    {
        if (offset > bytes_.size() || bytes_.size() - offset < sizeof(T))
            return nullptr;
        return reinterpret_cast<const T*>(bytes_.data() + offset);
    }

    // Where in the file an address of the loaded image lies; 0 when nowhere.
    std::size_t fileOffset(DWORD rva) const
    {
        const auto* sections = reinterpret_cast<const IMAGE_SECTION_HEADER*>(
            reinterpret_cast<const char*>(&nt_->OptionalHeader) + nt_->FileHeader.SizeOfOptionalHeader);
        for (WORD i = 0; i < nt_->FileHeader.NumberOfSections; ++i) {
            const IMAGE_SECTION_HEADER& s = sections[i];
            if (rva >= s.VirtualAddress && rva < s.VirtualAddress + s.SizeOfRawData)
                return rva - s.VirtualAddress + s.PointerToRawData;
        }
        return 0;
    }

    std::size_t directory(int which) const
    {
        const IMAGE_DATA_DIRECTORY& d = nt_->OptionalHeader.DataDirectory[which];
        return d.VirtualAddress == 0 ? 0 : fileOffset(d.VirtualAddress);
    }

    std::string name(DWORD rva) const
    {
        const std::size_t offset = fileOffset(rva);
        if (offset == 0)
            return {};
        const char* start = bytes_.data() + offset;
        return lower(std::string(start, strnlen(start, bytes_.size() - offset)));
    }

    std::vector<char> bytes_;
    const IMAGE_NT_HEADERS64* nt_ = nullptr;
};

bool holds(const std::vector<std::string>& names, const std::string& dll)
{
    return std::find(names.begin(), names.end(), dll) != names.end();
}

TEST(ProgramImports, TheWindowsLibrariesLoadOnlyWhenUsed)
{
    const std::optional<std::wstring> path = program();
    if (!path)
        GTEST_SKIP() << "no ADV_VERSIONED_PROGRAM: the OS-layer build has no AggiornaDV.exe";
    const Imports imports(*path);
    ASSERT_TRUE(imports.valid());
    const std::vector<std::string> loaded = imports.names();
    ASSERT_TRUE(holds(loaded, "kernel32.dll"));
    for (const char* dll : {"user32.dll", "gdi32.dll", "comdlg32.dll", "shell32.dll", "ole32.dll", "d3d11.dll",
                            "d3d9.dll", "dxgi.dll", "dwrite.dll", "uxtheme.dll", "winmm.dll", "crypt32.dll"}) {
        EXPECT_FALSE(holds(loaded, dll)) << dll << " is loaded at start-up";
    }
}

}  // namespace
