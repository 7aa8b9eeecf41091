#include "platform/FilePermissions.h"

#include <sys/stat.h>
#include <unistd.h>

namespace adv::platform {

bool othersMayWrite(const std::filesystem::path& file)
{
    struct stat st {};
    if (::stat(file.c_str(), &st) != 0)
        return false;  // the caller's own open reports what is wrong
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        return true;
    return st.st_uid != 0 && st.st_uid != ::geteuid();
}

bool othersMayRead(const std::filesystem::path& file)
{
    struct stat st {};
    return ::stat(file.c_str(), &st) == 0 && (st.st_mode & (S_IRGRP | S_IROTH)) != 0;
}

}  // namespace adv::platform
