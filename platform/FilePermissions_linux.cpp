#include "platform/FilePermissions.h"
#include "platform/FilePermissions_linux.h"

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <system_error>

namespace adv::platform {
namespace {

std::string userName(uid_t uid)
{
    std::array<char, 16384> buffer{};
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr)
        return found->pw_name;
    return "uid " + std::to_string(uid);
}

std::string groupName(gid_t gid)
{
    std::array<char, 16384> buffer{};
    group entry{};
    group* found = nullptr;
    if (::getgrgid_r(gid, &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr)
        return found->gr_name;
    return "gid " + std::to_string(gid);
}

}  // namespace

bool othersMayWrite(const std::filesystem::path& file, std::string* who)
{
    struct stat st {};
    if (::stat(file.c_str(), &st) != 0)
        return false;  // the caller's own open reports what is wrong
    return othersMayWrite(st, who);
}

bool othersMayWrite(const struct stat& st, std::string* who)
{
    std::string writer;
    if (st.st_uid != 0 && st.st_uid != ::geteuid())
        writer = "l'utente " + userName(st.st_uid);
    // In a sticky folder (/tmp) others may add files but not replace ours.
    else if (S_ISDIR(st.st_mode) && (st.st_mode & S_ISVTX) != 0)
        return false;
    else if ((st.st_mode & S_IWOTH) != 0)
        writer = "tutti";
    else if ((st.st_mode & S_IWGRP) != 0)
        writer = "il gruppo " + groupName(st.st_gid);
    if (who != nullptr)
        *who = writer;
    return !writer.empty();
}

bool runsAsAdministrator()
{
    return ::geteuid() == 0;
}

bool othersMayRead(const std::filesystem::path& file)
{
    struct stat st {};
    return ::stat(file.c_str(), &st) == 0 && (st.st_mode & (S_IRGRP | S_IROTH)) != 0;
}

bool makeFolders(const std::filesystem::path& folder)
{
    std::error_code error;
    if (std::filesystem::is_directory(folder, error))
        return true;
    const std::filesystem::path parent = folder.parent_path();
    if (!parent.empty() && parent != folder && !makeFolders(parent))
        return false;
    // Root's umask must not keep the log from the users who read it.
    if (::mkdir(folder.c_str(), 0755) == 0 && ::geteuid() == 0)
        ::chmod(folder.c_str(), 0755);
    return std::filesystem::is_directory(folder, error);
}

}  // namespace adv::platform
