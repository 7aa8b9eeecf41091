// Whom an elevated run lets write its configuration, judged on descriptors
// written as SDDL: Wine makes a file's access list from its Unix mode and
// keeps none that is set, so there is nothing richer to read back.
#include "platform/FilePermissions.h"
#include "platform/FilePermissions_win.h"

#include "StandIns.h"

#include <sddl.h>

#include <gtest/gtest.h>

namespace {

// Who, besides the administrators and S-1-5-21-1-2-3-1001 running the
// program, may write what `descriptor` guards, as a SID; empty: no one.
std::wstring writerOf(PSECURITY_DESCRIPTOR descriptor)
{
    PSID self = nullptr;
    wchar_t* text = nullptr;
    ConvertStringSidToSidW(L"S-1-5-21-1-2-3-1001", &self);
    const PSID writer = adv::platform::win::nonAdminWriter(descriptor, self);
    const std::wstring named = writer != nullptr && ConvertSidToStringSidW(writer, &text) ? text : L"";
    LocalFree(text);
    LocalFree(self);
    return named;
}

TEST(FilePermissionsWin, OnlyAdministratorsTheSystemAndTheUserMayWrite)
{
    for (const auto& [sddl, writer] : std::initializer_list<std::pair<const wchar_t*, std::wstring>>{
             {L"O:BAD:(A;;FA;;;SY)(A;;FA;;;S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464)", L""},
             {L"O:S-1-5-21-1-2-3-1001D:(A;;FA;;;S-1-5-21-1-2-3-1001)(A;;0x1200a9;;;BU)", L""},
             {L"O:S-1-5-21-1-2-3-1002D:(A;;FA;;;BA)", L"S-1-5-21-1-2-3-1002"},
             {L"O:BAD:(A;;0x1200a9;;;WD)(A;;0x4;;;BU)", L"S-1-5-32-545"},
             {L"O:BAD:(A;;GW;;;AU)", L"S-1-5-11"},
             {L"O:BAD:(A;OICIIO;GA;;;CO)(A;OICI;FA;;;BA)", L""},
             {adv::platform::win::kAdminsOnlyFolder, L""}}) {
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor, nullptr));
        EXPECT_EQ(writerOf(descriptor), writer) << adv::test::toUtf8(sddl);
        LocalFree(descriptor);
    }
    // No access list at all (Wine reads SDDL's NO_ACCESS_CONTROL as an empty one).
    SECURITY_DESCRIPTOR open{};
    ASSERT_TRUE(InitializeSecurityDescriptor(&open, SECURITY_DESCRIPTOR_REVISION) &&
                SetSecurityDescriptorDacl(&open, TRUE, nullptr, FALSE));
    EXPECT_EQ(writerOf(&open), L"S-1-1-0");
}

TEST(FilePermissionsWin, MakeFoldersMakesTheMissingOnes)
{
    const adv::test::TempFolder temp;
    const std::filesystem::path deep = temp.path() / L"AggiornaDV" / L"più giù";
    EXPECT_TRUE(adv::platform::makeFolders(deep) && adv::platform::makeFolders(deep) &&
                std::filesystem::is_directory(deep));
}

}  // namespace
