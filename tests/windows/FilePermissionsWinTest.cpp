// Whom an elevated run lets write its configuration, judged on descriptors
// written as SDDL: Wine makes a file's access list from its Unix mode and
// keeps none that is set, so there is nothing richer to read back.
#include "platform/FilePermissions.h"
#include "platform/FilePermissions_win.h"

#include "StandIns.h"

#include <sddl.h>

#include <fstream>

#include <gtest/gtest.h>

namespace {

std::wstring sidText(PSID sid)
{
    wchar_t* text = nullptr;
    if (sid == nullptr || !ConvertSidToStringSidW(sid, &text))
        return L"";
    std::wstring copy = text;
    LocalFree(text);
    return copy;
}

TEST(FilePermissionsWin, OnlyAdministratorsTheSystemAndTheUserMayWrite)
{
    const std::wstring user = L"S-1-5-21-1-2-3-1001";  // the one running the program
    const std::wstring trustedInstaller = L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";
    struct Row {
        std::wstring sddl;
        std::wstring writer;  // as a SID; empty: no one else
    };
    for (const Row& row : {
             Row{L"O:BAD:(A;;FA;;;BA)(A;;FA;;;SY)(A;;FA;;;" + trustedInstaller + L")(A;;0x1200a9;;;BU)", L""},
             Row{L"O:" + user + L"D:(A;;FA;;;" + user + L")", L""},
             Row{L"O:S-1-5-21-1-2-3-1002D:(A;;FA;;;BA)", L"S-1-5-21-1-2-3-1002"},
             Row{L"O:BAD:(A;;0x1200a9;;;WD)(A;;0x4;;;BU)", L"S-1-5-32-545"},
             Row{L"O:BAD:(A;;GW;;;AU)", L"S-1-5-11"},
             Row{L"O:BAD:(A;OICIIO;GA;;;CO)(A;OICI;FA;;;BA)", L""},
             Row{adv::platform::win::kAdminsOnlyFolder, L""},
         }) {
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        PSID self = nullptr;
        ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(row.sddl.c_str(), SDDL_REVISION_1, &descriptor,
                                                                         nullptr) &&
                    ConvertStringSidToSidW(user.c_str(), &self))
            << adv::test::toUtf8(row.sddl);
        EXPECT_EQ(sidText(adv::platform::win::nonAdminWriter(descriptor, self)), row.writer)
            << adv::test::toUtf8(row.sddl);
        LocalFree(self);
        LocalFree(descriptor);
    }
    // No access list at all (Wine reads SDDL's NO_ACCESS_CONTROL as an empty one).
    SECURITY_DESCRIPTOR open{};
    ASSERT_TRUE(InitializeSecurityDescriptor(&open, SECURITY_DESCRIPTOR_REVISION) &&
                SetSecurityDescriptorDacl(&open, TRUE, nullptr, FALSE));
    EXPECT_EQ(sidText(adv::platform::win::nonAdminWriter(&open, nullptr)), L"S-1-1-0");
}

// The folders an elevated run makes take no rights from above.
TEST(FilePermissionsWin, MakeFoldersMakesTheMissingOnesAdministratorsOnly)
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(adv::platform::win::kAdminsOnlyFolder,
                                                                     SDDL_REVISION_1, &descriptor, nullptr));
    EXPECT_TRUE(GetSecurityDescriptorControl(descriptor, &control, &revision) && (control & SE_DACL_PROTECTED));
    LocalFree(descriptor);

    const adv::test::TempFolder temp;
    const std::filesystem::path deep = temp.path() / L"AggiornaDV" / L"più giù";
    EXPECT_TRUE(adv::platform::makeFolders(deep) && std::filesystem::is_directory(deep));
    EXPECT_TRUE(adv::platform::makeFolders(deep)) << "already there";
    std::ofstream(temp.path() / L"file") << "x";
    EXPECT_FALSE(adv::platform::makeFolders(temp.path() / L"file" / L"below"));
}

}  // namespace
