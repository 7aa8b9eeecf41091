// The new program's download into the transaction: a new file, or the one an
// earlier run was cut in the middle of, kept under a name of its release so
// that the next run, that night or the next, goes on where it stopped.
#include "install/FileReplacement.h"

#include <algorithm>
#include <utility>
#include <vector>

namespace adv::install {
namespace {

constexpr std::size_t kMaxKeyDigits = 128;
constexpr std::size_t kReadChunk = 1024 * 1024;

// Hex digits alone, so that a key never reaches outside the folder nor
// another program's names.
bool isKey(std::string_view key)
{
    return !key.empty() && key.size() <= kMaxKeyDigits &&
           std::all_of(key.begin(), key.end(), [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

}  // namespace

std::string FileReplacement::partialName(const std::string& key) const
{
    return "." + name_ + std::string(kPartialTag) + key;
}

void FileReplacement::removePartials(const std::string& kept)
{
    const std::string tagged = partialName({});
    for (const std::string& name : folder_->names()) {
        if (name.starts_with(tagged) && name != kept && isKey(std::string_view(name).substr(tagged.size())))
            (void)folder_->remove(name);
    }
}

ReplaceResult FileReplacement::begin(const Resumable* resumable)
{
    abandon();
    if (!locked_)
        return {ReplaceStatus::Failed, "the installation " + shown() + " is not locked"};
    if (resumable && (!isKey(resumable->key) || resumable->size < 0))
        return {ReplaceStatus::Failed, "a kept download of " + shown() + " is named by hex digits and a size"};
    removePartials(resumable ? partialName(resumable->key) : std::string());
    return start(resumable ? std::optional(*resumable) : std::nullopt);
}

// Whatever else holds the kept name (a link, a second name of another
// file, a stranger's file, one too large) gives way to a new file renamed
// over it: a rename replaces the name itself, never the file it leads to,
// where a delete under Wine would follow a Unix link. What cannot be
// replaced (a folder) leaves the download to a new file, whole.
ReplaceResult FileReplacement::start(const std::optional<Resumable>& resumable)
{
    if (resumable) {
        const std::string name = partialName(resumable->key);
        if (folder_->reopen(name, resumable->size, heldBytes_) ||
            (replaceKept(name) && folder_->reopen(name, resumable->size, heldBytes_))) {
            temporary_ = name;
            resumable_ = resumable;
            return {};
        }
    }
    heldBytes_ = 0;
    temporary_ = temporaryName(kNewTag);
    if (ReplaceResult created = folder_->create(temporary_); !created) {
        temporary_.clear();
        return created;
    }
    return {};
}

// Without a model the new file stays this updater's own.
ReplaceResult FileReplacement::replaceKept(const std::string& name)
{
    const std::string fresh = temporaryName(kNewTag);
    ReplaceResult made = folder_->create(fresh);
    if (made)
        made = folder_->seal({});
    if (made)
        made = folder_->renameOver(fresh, name);
    if (!made) {
        folder_->discard();
        (void)folder_->remove(fresh);
    }
    return made;
}

ReplaceResult FileReplacement::readHeld(const std::function<ReplaceResult(const char* data, std::size_t size)>& take)
{
    if (temporary_.empty())
        return {ReplaceStatus::Failed, "no replacement of " + shown() + " is under way"};
    std::vector<char> buffer(std::min<std::size_t>(kReadChunk, static_cast<std::size_t>(heldBytes_)));
    for (std::int64_t offset = 0; offset < heldBytes_;) {
        const std::size_t want = std::min<std::size_t>(buffer.size(), static_cast<std::size_t>(heldBytes_ - offset));
        std::size_t got = 0;
        if (ReplaceResult read = folder_->read(temporary_, offset, buffer.data(), want, got); !read)
            return read;
        if (got != want)
            return {ReplaceStatus::Failed, folder_->shown(temporary_) + " lost bytes while it was read"};
        if (ReplaceResult taken = take(buffer.data(), got); !taken)
            return taken;
        offset += static_cast<std::int64_t>(got);
    }
    return {};
}

ReplaceResult FileReplacement::restart()
{
    if (temporary_.empty())
        return {ReplaceStatus::Failed, "no replacement of " + shown() + " is under way"};
    const std::optional<Resumable> again = std::exchange(resumable_, std::nullopt);
    folder_->discard();
    const ReplaceResult removed = folder_->remove(temporary_);  // else it would be gone on with again
    removeTemporaries();
    if (!removed)
        return removed;
    return start(again);
}

ReplaceResult FileReplacement::write(const char* data, std::size_t size)
{
    if (temporary_.empty())
        return {ReplaceStatus::Failed, "no replacement of " + shown() + " is under way"};
    if (ReplaceResult written = folder_->write(data, size); !written)
        return written;
    return {};
}

}  // namespace adv::install
