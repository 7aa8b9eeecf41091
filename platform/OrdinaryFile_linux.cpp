// The file probe's steps on Linux: each part looked up ignoring letter case,
// as Windows would.
#include "platform/OrdinaryFile.h"

#include <dirent.h>
#include <strings.h>
#include <sys/stat.h>

#include <algorithm>
#include <memory>

namespace adv::platform {
namespace {

// The entry of `dir` whose name equals `name` ignoring ASCII letter case; an
// exact match wins, so a folder holding both "Kivo.exe" and "kivo.exe" is
// answered the way the operator spelled it.
std::optional<std::string> findEntry(const std::filesystem::path& dir, const std::string& name)
{
    struct stat st {};
    if (::lstat((dir / name).c_str(), &st) == 0)
        return name;

    std::unique_ptr<DIR, int (*)(DIR*)> d(::opendir(dir.c_str()), &::closedir);
    if (!d)
        return std::nullopt;
    while (const dirent* e = ::readdir(d.get())) {
        if (::strcasecmp(e->d_name, name.c_str()) == 0)
            return std::string(e->d_name);
    }
    return std::nullopt;
}

}  // namespace

namespace probe {

std::optional<std::filesystem::path> locate(const std::filesystem::path& root, const std::vector<std::string>& parts)
{
    std::filesystem::path resolved = root;
    for (const std::string& part : parts) {
        const auto entry = findEntry(resolved, part);
        if (!entry)
            return std::nullopt;
        resolved /= *entry;
    }
    return resolved;
}

std::filesystem::path rootOf(const std::filesystem::path& root)
{
    return root;
}

// stat, not lstat: a link to a file is an installed file, as a shortcut
// target would be; a folder of that name is not.
bool isOrdinary(const std::filesystem::path& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::optional<std::filesystem::path> realPath(const std::filesystem::path& path)
{
    std::error_code error;
    std::filesystem::path real = std::filesystem::canonical(path, error);
    return error ? std::nullopt : std::optional(std::move(real));
}

bool isInside(const std::filesystem::path& path, const std::filesystem::path& folder)
{
    const auto [f, p] = std::mismatch(folder.begin(), folder.end(), path.begin(), path.end());
    return f == folder.end() && p != path.end();
}

}  // namespace probe

std::filesystem::path defaultRoot()
{
    return "/";
}

bool isDriveName(std::string_view)
{
    return false;
}

}  // namespace adv::platform
