// Who may change a file on Windows: its access list. Everyone, the
// authenticated users or the Users group being allowed to write it is what
// group- or other-write is on Linux.
#include "platform/FilePermissions.h"

#include "platform/Text_win.h"

#include <aclapi.h>
#include <sddl.h>

namespace adv::platform {
namespace {

constexpr ACCESS_MASK kWrites =
    FILE_WRITE_DATA | FILE_APPEND_DATA | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL | DELETE;

bool isEveryone(PSID sid)
{
    for (const WELL_KNOWN_SID_TYPE type : {WinWorldSid, WinAuthenticatedUserSid, WinBuiltinUsersSid}) {
        if (IsWellKnownSid(sid, type))
            return true;
    }
    return false;
}

// Whether the access list lets everyone (or all users) do one of `rights`.
bool openTo(const std::filesystem::path& file, ACCESS_MASK rights)
{
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetNamedSecurityInfoW(file.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr,
                              &descriptor) != ERROR_SUCCESS)
        return false;             // unreadable: the reader then fails on it anyway
    bool open = dacl == nullptr;  // no list at all lets everyone in
    for (DWORD i = 0; !open && i < dacl->AceCount; ++i) {
        void* entry = nullptr;
        if (!GetAce(dacl, i, &entry))
            continue;
        const auto* header = static_cast<const ACE_HEADER*>(entry);
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE || (header->AceFlags & INHERIT_ONLY_ACE))
            continue;
        auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(entry);
        open = (allowed->Mask & rights) != 0 && isEveryone(reinterpret_cast<PSID>(&allowed->SidStart));
    }
    LocalFree(descriptor);
    return open;
}

}  // namespace

bool othersMayWrite(const std::filesystem::path& file)
{
    return openTo(file, kWrites);
}

bool othersMayRead(const std::filesystem::path& file)
{
    return openTo(file, FILE_READ_DATA | GENERIC_READ | GENERIC_ALL);
}

}  // namespace adv::platform
