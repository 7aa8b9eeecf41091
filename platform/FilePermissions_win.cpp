// Who may change a file on Windows: its owner and its access list. A plain
// run minds only Everyone, the authenticated users and the Users group, what
// group- or other-write is on Linux. An elevated run minds every user who is
// not an administrator: Windows lets ordinary users create files and folders
// in %PROGRAMDATA%, so whoever planted a configuration there would decide
// what the administrator installs.
#include "platform/FilePermissions.h"
#include "platform/FilePermissions_win.h"

#include "platform/FilePaths_win.h"

#include <aclapi.h>
#include <sddl.h>

#include <functional>
#include <memory>
#include <vector>

namespace adv::platform {
namespace {

// FILE_WRITE_DATA is a folder's FILE_ADD_FILE, FILE_APPEND_DATA its
// FILE_ADD_SUBDIRECTORY; FILE_DELETE_CHILD lets one replace what it holds.
constexpr ACCESS_MASK kWrites = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_DELETE_CHILD | WRITE_DAC | WRITE_OWNER |
                                DELETE | GENERIC_WRITE | GENERIC_ALL;
constexpr ACCESS_MASK kReads = FILE_READ_DATA | GENERIC_READ | GENERIC_ALL;

struct LocalFreed {
    void operator()(void* memory) const { LocalFree(memory); }
};
using LocalMemory = std::unique_ptr<void, LocalFreed>;

// A SID kept for the program's whole run.
std::vector<BYTE> sidBytes(PSID sid)
{
    std::vector<BYTE> bytes;
    if (sid != nullptr && IsValidSid(sid)) {
        bytes.resize(GetLengthSid(sid));
        CopySid(static_cast<DWORD>(bytes.size()), bytes.data(), sid);
    }
    return bytes;
}

std::vector<BYTE> wellKnownSid(WELL_KNOWN_SID_TYPE type)
{
    std::vector<BYTE> bytes(SECURITY_MAX_SID_SIZE);
    DWORD size = static_cast<DWORD>(bytes.size());
    if (!CreateWellKnownSid(type, nullptr, bytes.data(), &size))
        return {};
    bytes.resize(size);
    return bytes;
}

PSID everyone()
{
    static std::vector<BYTE> sid = wellKnownSid(WinWorldSid);
    return sid.data();
}

bool isTrustedInstaller(PSID sid)
{
    static const std::vector<BYTE> trustedInstaller = [] {
        PSID made = nullptr;
        if (!ConvertStringSidToSidW(L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464", &made))
            return std::vector<BYTE>();
        const LocalMemory freed(made);
        return sidBytes(made);
    }();
    return !trustedInstaller.empty() && EqualSid(sid, const_cast<BYTE*>(trustedInstaller.data()));
}

bool isAllUsers(PSID sid)
{
    for (const WELL_KNOWN_SID_TYPE type : {WinWorldSid, WinAuthenticatedUserSid, WinBuiltinUsersSid}) {
        if (IsWellKnownSid(sid, type))
            return true;
    }
    return false;
}

// The first SID that counts and that the descriptor's access list allows
// one of `rights`; Everyone's when there is no list.
PSID allowed(PSECURITY_DESCRIPTOR descriptor, ACCESS_MASK rights, const std::function<bool(PSID)>& counts)
{
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    if (!GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) || !present || dacl == nullptr)
        return everyone();
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* entry = nullptr;
        if (!GetAce(dacl, i, &entry))
            continue;
        const auto* header = static_cast<const ACE_HEADER*>(entry);
        // A callback (conditional) entry is laid out as a plain one; object
        // entries belong to directory objects, never to files.
        if ((header->AceType != ACCESS_ALLOWED_ACE_TYPE && header->AceType != ACCESS_ALLOWED_CALLBACK_ACE_TYPE) ||
            (header->AceFlags & INHERIT_ONLY_ACE) != 0)
            continue;
        auto* ace = static_cast<ACCESS_ALLOWED_ACE*>(entry);
        const PSID sid = &ace->SidStart;
        if ((ace->Mask & rights) != 0 && counts(sid))
            return sid;
    }
    return nullptr;
}

// The user this program runs as.
PSID self()
{
    static std::vector<BYTE> user = [] {
        HANDLE token = nullptr;
        if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
            return std::vector<BYTE>();
        std::vector<BYTE> buffer(sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE);
        DWORD size = 0;
        const bool read =
            GetTokenInformation(token, TokenUser, buffer.data(), static_cast<DWORD>(buffer.size()), &size);
        CloseHandle(token);
        return read ? sidBytes(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid) : std::vector<BYTE>();
    }();
    return user.empty() ? nullptr : user.data();
}

// The account as Windows shows it ("BUILTIN\Users"), else its SID string.
std::string nameOf(PSID sid)
{
    wchar_t name[256];
    wchar_t domain[256];
    DWORD nameSize = 256;
    DWORD domainSize = 256;
    SID_NAME_USE use{};
    if (LookupAccountSidW(nullptr, sid, name, &nameSize, domain, &domainSize, &use))
        return win::toUtf8(domainSize > 0 ? std::wstring(domain) + L'\\' + name : std::wstring(name));
    wchar_t* text = nullptr;
    if (!ConvertSidToStringSidW(sid, &text))
        return "?";
    const LocalMemory freed(text);
    return win::toUtf8(text);
}

LocalMemory descriptorOf(const std::filesystem::path& file, SECURITY_INFORMATION parts)
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetNamedSecurityInfoW(win::longPath(file.native()).c_str(), SE_FILE_OBJECT, parts, nullptr, nullptr, nullptr,
                              nullptr, &descriptor) != ERROR_SUCCESS)
        return nullptr;
    return LocalMemory(descriptor);
}

bool isFolder(const std::filesystem::path& path)
{
    const DWORD attributes = GetFileAttributesW(win::longPath(path.native()).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

}  // namespace

PSID win::nonAdminWriter(PSECURITY_DESCRIPTOR descriptor, PSID self)
{
    const auto trusted = [self](PSID sid) {
        return IsWellKnownSid(sid, WinBuiltinAdministratorsSid) || IsWellKnownSid(sid, WinLocalSystemSid) ||
               isTrustedInstaller(sid) || (self != nullptr && EqualSid(sid, self));
    };
    PSID owner = nullptr;
    BOOL defaulted = FALSE;
    if (GetSecurityDescriptorOwner(descriptor, &owner, &defaulted) && owner != nullptr && !trusted(owner))
        return owner;
    return allowed(descriptor, kWrites, [&trusted](PSID sid) { return !trusted(sid); });
}

bool runsAsAdministrator()
{
    static const bool elevated = [] {
        std::vector<BYTE> administrators = wellKnownSid(WinBuiltinAdministratorsSid);
        BOOL member = FALSE;
        return !administrators.empty() && CheckTokenMembership(nullptr, administrators.data(), &member) && member;
    }();
    return elevated;
}

bool othersMayWrite(const std::filesystem::path& file, std::string* who)
{
    const bool elevated = runsAsAdministrator();
    const LocalMemory descriptor =
        descriptorOf(file, DACL_SECURITY_INFORMATION | (elevated ? OWNER_SECURITY_INFORMATION : 0));
    if (!descriptor)
        return false;  // unreadable: the reader then fails on it anyway
    const PSID writer =
        elevated ? win::nonAdminWriter(descriptor.get(), self()) : allowed(descriptor.get(), kWrites, isAllUsers);
    if (writer != nullptr && who != nullptr)
        *who = nameOf(writer);
    return writer != nullptr;
}

bool othersMayRead(const std::filesystem::path& file)
{
    const LocalMemory descriptor = descriptorOf(file, DACL_SECURITY_INFORMATION);
    return descriptor && allowed(descriptor.get(), kReads, isAllUsers) != nullptr;
}

bool makeFolders(const std::filesystem::path& folder)
{
    if (isFolder(folder))
        return true;
    const std::filesystem::path parent = folder.parent_path();
    if (!parent.empty() && parent != folder && !makeFolders(parent))
        return false;
    SECURITY_ATTRIBUTES attributes{sizeof attributes, nullptr, FALSE};
    LocalMemory adminsOnly;
    if (runsAsAdministrator()) {
        PSECURITY_DESCRIPTOR made = nullptr;
        if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(win::kAdminsOnlyFolder, SDDL_REVISION_1, &made,
                                                                  nullptr))
            return false;
        adminsOnly.reset(made);
        attributes.lpSecurityDescriptor = made;
    }
    CreateDirectoryW(win::longPath(folder.native()).c_str(), &attributes);
    return isFolder(folder);
}

}  // namespace adv::platform
