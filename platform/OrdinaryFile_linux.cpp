#include "platform/OrdinaryFile.h"

#include <dirent.h>
#include <strings.h>
#include <sys/stat.h>

#include <algorithm>
#include <memory>
#include <string>

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

// Whether `path` lies strictly below `folder` (both real paths).
bool isInside(const std::filesystem::path& path, const std::filesystem::path& folder)
{
    const auto [f, p] = std::mismatch(folder.begin(), folder.end(), path.begin(), path.end());
    return f == folder.end() && p != path.end();
}

}  // namespace

std::optional<std::filesystem::path> findOrdinaryFile(const std::filesystem::path& root, std::string_view path)
{
    std::filesystem::path resolved = root;
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find_first_of("\\/", start);
        if (end == std::string_view::npos)
            end = path.size();
        const std::string part(path.substr(start, end - start));
        start = end + 1;
        if (part.empty() || part == ".")
            continue;
        // Nothing outside the root may stand for an installation.
        if (part == "..")
            return std::nullopt;
        auto entry = findEntry(resolved, part);
        if (!entry)
            return std::nullopt;
        resolved /= *entry;
    }

    // stat, not lstat: a link to a file is an installed file, as a shortcut
    // target would be; a folder of that name is not.
    struct stat st {};
    if (resolved == root || ::stat(resolved.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return std::nullopt;

    // A link may point anywhere; followed out of the root it would make the
    // update overwrite a file that no product installed. The answer is the
    // real path, so that what is checked here is what gets written.
    std::error_code error;
    const std::filesystem::path real = std::filesystem::canonical(resolved, error);
    const std::filesystem::path realRoot = error ? std::filesystem::path() : std::filesystem::canonical(root, error);
    if (error || !isInside(real, realRoot))
        return std::nullopt;
    return real;
}

std::filesystem::path defaultRoot()
{
    return "/";
}

bool isDriveName(std::string_view)
{
    return false;
}

}  // namespace adv::platform
