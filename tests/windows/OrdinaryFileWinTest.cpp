// The file probe on Windows against real files, folders and attributes, in a
// folder of the test's own on the drive that holds the temporary folder.
#include "platform/OrdinaryFile.h"

#include "StandIns.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cwctype>
#include <ostream>

namespace {

using adv::platform::findOrdinaryFile;
using adv::test::TempFolder;
using adv::test::toUtf8;

bool sameFileName(const std::wstring& a, const std::wstring& b)
{
    return CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_EQUAL;
}

class FindOrdinaryFileWin : public testing::Test {
protected:
    void SetUp() override
    {
        const std::wstring& full = temp.path().native();
        ASSERT_TRUE(full.size() > 2 && std::iswalpha(full[0]) && full[1] == L':')
            << "the temporary folder is not on a drive: " << toUtf8(full);
        drive = full.substr(0, 2);
        onDrive = full.substr(2);

        makeFile(L"dolvo\\dolvo.exe", FILE_ATTRIBUTE_NORMAL);
        makeFile(L"kivo\\Kivo.exe", FILE_ATTRIBUTE_READONLY);
        makeFile(L"kivo\\archived.exe", FILE_ATTRIBUTE_ARCHIVE);
        makeFile(L"kivo\\vidorizu.exe", FILE_ATTRIBUTE_HIDDEN);
        makeFile(L"trevanto\\trevanto.exe", FILE_ATTRIBUTE_SYSTEM);
        std::filesystem::create_directories(temp.path() / L"dolvo" / L"folder.exe");
    }

    void TearDown() override
    {
        // Read-only, hidden and system files can be deleted only as ordinary ones.
        for (const auto& entry : std::filesystem::recursive_directory_iterator(temp.path()))
            SetFileAttributesW(entry.path().c_str(), FILE_ATTRIBUTE_NORMAL);
    }

    void makeFile(const std::wstring& relative, DWORD attributes)
    {
        const std::filesystem::path path = temp.path() / relative;
        std::filesystem::create_directories(path.parent_path());
        const HANDLE file =
            CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(file, INVALID_HANDLE_VALUE) << toUtf8(path.native());
        CloseHandle(file);
        ASSERT_TRUE(SetFileAttributesW(path.c_str(), attributes));
        const DWORD kept = GetFileAttributesW(path.c_str());
        if (attributes != FILE_ATTRIBUTE_NORMAL && (kept & attributes) != attributes)
            attributesLost = true;
    }

    // `relative` written the product table's way, rooted at the test's folder.
    std::string probePath(const std::wstring& relative) const { return toUtf8(onDrive + relative); }

    TempFolder temp;
    std::wstring drive;    // "C:"
    std::wstring onDrive;  // the test folder without its drive, "\users\...\adv-test-..."
    bool attributesLost = false;
};

struct ProbeCase {
    const char* label;
    std::wstring path;
    bool found;
};

void PrintTo(const ProbeCase& c, std::ostream* out)
{
    *out << c.label;
}

class FindOrdinaryFileWinCases : public FindOrdinaryFileWin, public testing::WithParamInterface<ProbeCase> {};

TEST_P(FindOrdinaryFileWinCases, CountsOnlyOrdinaryFiles)
{
    const ProbeCase& c = GetParam();
    if (attributesLost)
        GTEST_SKIP() << "this file system does not keep hidden and system attributes, so the probe cannot be judged";

    const auto found = findOrdinaryFile(drive, probePath(c.path));

    ASSERT_EQ(found.has_value(), c.found) << toUtf8(c.path);
    if (c.found) {
        std::wstring expected = drive + onDrive + c.path;
        std::replace(expected.begin(), expected.end(), L'/', L'\\');
        EXPECT_TRUE(sameFileName(found->native(), expected)) << toUtf8(found->native());
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, FindOrdinaryFileWinCases,
                         testing::Values(ProbeCase{"OrdinaryFile", L"\\dolvo\\dolvo.exe", true},
                                         ProbeCase{"ReadOnlyFile", L"\\kivo\\Kivo.exe", true},
                                         ProbeCase{"ArchivedFile", L"\\kivo\\archived.exe", true},
                                         ProbeCase{"OtherLetterCase", L"\\DOLVO\\Dolvo.EXE", true},
                                         ProbeCase{"ForwardSlashes", L"/kivo/Kivo.exe", true},
                                         ProbeCase{"HiddenFile", L"\\kivo\\vidorizu.exe", false},
                                         ProbeCase{"SystemFile", L"\\trevanto\\trevanto.exe", false},
                                         ProbeCase{"FolderNamedLikeTheFile", L"\\dolvo\\folder.exe", false},
                                         ProbeCase{"Folder", L"\\dolvo", false},
                                         ProbeCase{"MissingFile", L"\\dolvo\\ketra2.exe", false},
                                         ProbeCase{"MissingFolder", L"\\nodo\\dolvo.exe", false},
                                         ProbeCase{"Pattern", L"\\dolvo\\dolvo.*", false},
                                         ProbeCase{"ClimbsOut", L"\\kivo\\..\\dolvo\\dolvo.exe", false}),
                         [](const testing::TestParamInfo<ProbeCase>& row) { return std::string(row.param.label); });

TEST_F(FindOrdinaryFileWin, TheDriveMayBeWrittenInEitherCaseAndWithASeparator)
{
    const std::wstring lower(1, static_cast<wchar_t>(std::towlower(drive[0])));
    for (const std::wstring& root : {drive, lower + L":", drive + L"\\"}) {
        const auto found = findOrdinaryFile(root, probePath(L"\\dolvo\\dolvo.exe"));
        ASSERT_TRUE(found.has_value()) << toUtf8(root);
        EXPECT_TRUE(sameFileName(found->native(), drive + onDrive + L"\\dolvo\\dolvo.exe")) << toUtf8(found->native());
    }
}

TEST_F(FindOrdinaryFileWin, NoRootMeansTheCurrentDrive)
{
    std::wstring before(32768, L'\0');
    before.resize(GetCurrentDirectoryW(static_cast<DWORD>(before.size()), before.data()));
    const std::wstring besideCurrent = L"here_" + adv::test::uniqueTag() + L".exe";
    makeFile(L"kivo\\" + besideCurrent, FILE_ATTRIBUTE_NORMAL);
    // Somewhere below the drive's root: the probe must still start from the root.
    ASSERT_TRUE(SetCurrentDirectoryW((temp.path() / L"kivo").c_str()));

    const auto found = findOrdinaryFile({}, probePath(L"\\dolvo\\dolvo.exe"));
    // Beside the current folder, not at the drive's root: not found.
    const auto notThere = findOrdinaryFile({}, toUtf8(L"\\" + besideCurrent));

    SetCurrentDirectoryW(before.c_str());
    ASSERT_TRUE(found.has_value());
    EXPECT_TRUE(sameFileName(found->native(), drive + onDrive + L"\\dolvo\\dolvo.exe")) << toUtf8(found->native());
    EXPECT_FALSE(notThere.has_value()) << toUtf8(notThere->native());
}

TEST_F(FindOrdinaryFileWin, AFolderMayStandForTheDrive)
{
    const auto found = findOrdinaryFile(temp.path(), "\\kivo\\Kivo.exe");

    ASSERT_TRUE(found.has_value());
    EXPECT_TRUE(sameFileName(found->native(), (temp.path() / L"kivo" / L"Kivo.exe").native()));
    EXPECT_FALSE(findOrdinaryFile(temp.path(), "\\kivo\\vidorizu.exe").has_value());
}

}  // namespace
