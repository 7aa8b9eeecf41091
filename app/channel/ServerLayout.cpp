#include "app/channel/ServerLayout.h"

#include <algorithm>

#include "app/core/KeyValueText.h"

namespace adv {
namespace {

constexpr std::string_view kPartSuffix = ".part";
constexpr std::string_view kAsideSuffix = ".old";
constexpr std::string_view kReleaseStem = kUpdatedProgram.substr(0, kUpdatedProgram.rfind('.'));

bool allOf(std::string_view text, std::string_view allowed)
{
    return std::all_of(text.begin(), text.end(), [allowed](char c) { return allowed.find(c) != allowed.npos; });
}

}  // namespace

std::string signatureName(std::string_view file)
{
    return std::string(file) + std::string(kSignatureSuffix);
}

std::string releaseFileName(std::int64_t signedAt, const minisign::Hash& hash)
{
    return std::string(kReleaseStem) + "-" + std::to_string(signedAt) + "-" + minisign::toHex(hash).substr(0, 8) +
           ".exe";
}

std::optional<std::int64_t> releaseTime(std::string_view name)
{
    const std::string head = std::string(kReleaseStem) + "-";
    if (!name.starts_with(head) || !name.ends_with(".exe"))
        return std::nullopt;
    name = name.substr(head.size(), name.size() - head.size() - 4);
    const auto dash = name.find('-');
    if (dash == std::string_view::npos || dash == 0 || dash > 18 || name.size() - dash - 1 != 8)
        return std::nullopt;
    const std::string_view digits = name.substr(0, dash), hex = name.substr(dash + 1);
    if (!allOf(digits, "0123456789") || !std::all_of(hex.begin(), hex.end(), isLowerHexDigit))
        return std::nullopt;
    return std::stoll(std::string(digits));
}

std::string_view releaseHashStart(std::string_view name)
{
    return releaseTime(name) ? name.substr(name.size() - 4 - 8, 8) : std::string_view{};
}

std::string releasePath(std::string_view name)
{
    return std::string(kReleaseFolderName) + "/" + std::string(name);
}

std::string_view releaseFileOf(std::string_view path)
{
    return path.substr(std::min(path.size(), kReleaseFolderName.size() + 1));
}

bool isReleasePath(std::string_view path)
{
    if (!path.starts_with(kReleaseFolderName) || path.substr(kReleaseFolderName.size(), 1) != "/")
        return false;
    const std::string_view name = releaseFileOf(path);
    return !name.empty() && name.size() <= 128 && name.front() != '.' &&
           allOf(name, "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-_.");
}

std::string partName(std::string_view name)
{
    std::string part(1, '.');
    part.append(name).append(kPartSuffix);
    return part;
}

std::string asideName(std::string_view name)
{
    std::string aside(1, '.');
    aside.append(name).append(kAsideSuffix);
    return aside;
}

bool isLeftover(std::string_view name, bool inReleaseFolder)
{
    const std::string_view suffix = name.ends_with(kPartSuffix) ? kPartSuffix : kAsideSuffix;
    if (!name.starts_with('.') || !name.ends_with(suffix))
        return false;
    std::string_view made = name.substr(1, name.size() - 1 - suffix.size());
    if (made.ends_with(kSignatureSuffix))
        made.remove_suffix(kSignatureSuffix.size());
    return inReleaseFolder ? releaseTime(made).has_value()
                           : made == kIndexName || made == kUpdatedProgram || made == kFreshName;
}

}  // namespace adv
