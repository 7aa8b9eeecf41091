// The file probe, written once over the per-system steps.
#include "platform/OrdinaryFile.h"

namespace adv::platform {

std::optional<std::filesystem::path> findOrdinaryFile(const std::filesystem::path& root, std::string_view path)
{
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find_first_of("\\/", start);
        if (end == std::string_view::npos)
            end = path.size();
        std::string part(path.substr(start, end - start));
        start = end + 1;
        if (part.empty() || part == ".")
            continue;
        // Nothing outside the root may stand for an installation, and a
        // pattern would match some file the caller did not name.
        if (part == ".." || part.find_first_of("*?") != std::string::npos)
            return std::nullopt;
        parts.push_back(std::move(part));
    }
    if (parts.empty())
        return std::nullopt;

    const std::optional<std::filesystem::path> named = probe::locate(root, parts);
    if (!named || !probe::isOrdinary(*named))
        return std::nullopt;
    // A link may point anywhere; followed out of the root it would make the
    // update overwrite a file that no product installed. The answer is the
    // real path, so that what is checked here is what gets written.
    const std::optional<std::filesystem::path> real = probe::realPath(*named);
    const std::optional<std::filesystem::path> realRoot = probe::realPath(probe::rootOf(root));
    if (!real || !realRoot || !probe::isInside(*real, *realRoot) || !probe::isOrdinary(*real))
        return std::nullopt;
    return real;
}

}  // namespace adv::platform
