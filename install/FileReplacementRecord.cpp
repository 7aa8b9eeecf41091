// The transaction's release record: read once the lock is held, kept up to
// date as the maker's index is followed, and written beside the program
// whole, by a rename, like the program itself.
#include "install/FileReplacement.h"

#include "install/ReleaseRecord.h"

#include <algorithm>
#include <utility>
#include <vector>

namespace adv::install {

using platform::Entry;
using platform::EntryKind;

ReplaceResult FileReplacement::readRecord()
{
    record_ = {};
    unmatched_ = {};
    const std::string name = recordName();
    const Entry file = folder_->entry(name);
    if (file.kind == EntryKind::Missing)
        return {};
    const auto damaged = [this, &name](const std::string& why) {
        // The advice is the operator's, in the words of the layer above.
        return ReplaceResult{ReplaceStatus::Damaged, "the release record " + folder_->shown(name) + " " + why};
    };
    if (file.kind != EntryKind::File)
        return damaged("is not an ordinary file");
    bool readable = false;
    const std::string text = recordText(name, readable);
    if (!readable)
        return damaged("cannot be read");
    const std::optional<Stored> stored = Stored::parse(text);
    if (!stored)
        return damaged("is not in the form this updater writes");

    record_.floor = stored->floor;
    record_.indexSeen = stored->indexSeen;
    record_.withdrawn = stored->withdrawn;
    if (stored->installed.describes(folder_->entry(name_)))
        record_.installed = stored->installed.release;
    else
        unmatched_ = stored->installed.release;
    if (stored->previous.describes(folder_->entry(name_ + std::string(kPreviousSuffix))))
        record_.previous = stored->previous.release;
    return {};
}

std::optional<std::string> FileReplacement::legacySignature(std::size_t maxBytes)
{
    const std::string name = name_ + std::string(kSignatureSuffix);
    if (!locked_ || folder_->entry(recordName()).kind != EntryKind::Missing ||
        folder_->entry(name).kind != EntryKind::File)
        return std::nullopt;
    std::string text(maxBytes + 1, '\0');
    std::size_t got = 0;
    if (!folder_->read(name, 0, text.data(), text.size(), got))
        return std::nullopt;
    text.resize(got);
    return text;
}

void FileReplacement::raiseFloor(std::int64_t signedAt)
{
    record_.floor = std::max(record_.floor.value_or(signedAt), signedAt);
}

void FileReplacement::noteIndex(std::optional<std::int64_t> signedAt, const std::vector<std::string>& withdrawn)
{
    if (signedAt)
        record_.indexSeen = std::max(record_.indexSeen.value_or(*signedAt), *signedAt);
    for (const std::string& hash : withdrawn) {
        if (std::find(record_.withdrawn.begin(), record_.withdrawn.end(), hash) == record_.withdrawn.end())
            record_.withdrawn.push_back(hash);
    }
    if (record_.withdrawn.size() > kMaxWithdrawn)
        record_.withdrawn.erase(record_.withdrawn.begin(),
                                record_.withdrawn.end() - static_cast<std::ptrdiff_t>(kMaxWithdrawn));
}

ReplaceResult FileReplacement::readInstalled(const std::function<void(const char*, std::size_t)>& take)
{
    constexpr std::size_t kChunk = 1024 * 1024;
    std::vector<char> buffer(kChunk);
    // As long as the file was when the read began: one that grows meanwhile
    // is not read for ever.
    const std::int64_t size = folder_->entry(name_).size;
    for (std::int64_t offset = 0; offset < size;) {
        std::size_t got = 0;
        const auto wanted = static_cast<std::size_t>(std::min<std::int64_t>(kChunk, size - offset));
        if (ReplaceResult read = folder_->read(name_, offset, buffer.data(), wanted, got); !read)
            return read;
        if (got == 0)
            break;
        take(buffer.data(), got);
        offset += static_cast<std::int64_t>(got);
    }
    return {};
}

void FileReplacement::identify(const std::string& hash)
{
    if (!record_.installed.hash.empty() || hash.empty())
        return;
    record_.installed = hash == unmatched_.hash ? unmatched_ : Release{std::nullopt, hash};
}

std::optional<std::string> FileReplacement::memo(std::size_t maxBytes)
{
    const std::string name = name_ + std::string(kMemoSuffix);
    if (folder_->entry(name).kind != EntryKind::File)
        return std::nullopt;
    std::string text(maxBytes + 1, '\0');
    std::size_t got = 0;
    if (!folder_->read(name, 0, text.data(), text.size(), got) || got > maxBytes)
        return std::nullopt;
    text.resize(got);
    return text;
}

ReplaceResult FileReplacement::keepMemo(const std::string& text)
{
    if (!locked_)
        return {ReplaceStatus::Failed, "the installation " + shown() + " is not locked"};
    const std::string name = name_ + std::string(kMemoSuffix);
    const std::string temporary = temporaryName(kNewTag);
    ReplaceResult kept = folder_->create(temporary);
    if (kept)
        kept = folder_->write(text.data(), text.size());
    // This updater's own, whoever owns the files it describes.
    if (kept)
        kept = folder_->seal({});
    if (kept)
        kept = folder_->renameOver(temporary, name);
    if (!kept) {
        folder_->discard();
        (void)folder_->remove(temporary);
        return {ReplaceStatus::Failed, "cannot keep " + folder_->shown(name) + ": " + kept.detail};
    }
    return {};
}

ReplaceResult FileReplacement::remember()
{
    if (!locked_)
        return {ReplaceStatus::Failed, "the installation " + shown() + " is not locked"};
    const std::string previousName = name_ + std::string(kPreviousSuffix);
    return putRecord(Recorded::of(record_.installed, folder_->entry(name_)),
                     Recorded::of(record_.previous, folder_->entry(previousName)), record_.floor);
}

ReplaceResult FileReplacement::writeRecord(const Recorded& installed, const Recorded& previous,
                                           std::optional<std::int64_t> floor, std::string& temporary)
{
    const std::string text = Stored{floor, installed, previous, record_.indexSeen, record_.withdrawn}.text();
    temporary = temporaryName(kNewTag);
    ReplaceResult written = folder_->create(temporary);
    if (written)
        written = folder_->write(text.data(), text.size());
    if (written)
        written = folder_->seal(recordName());
    if (!written) {
        folder_->discard();
        (void)folder_->remove(temporary);
        temporary.clear();
        return {ReplaceStatus::Failed, "cannot write the release record: " + written.detail};
    }
    return {};
}

ReplaceResult FileReplacement::putRecord(const Recorded& installed, const Recorded& previous,
                                         std::optional<std::int64_t> floor)
{
    if (ReplaceResult made = writeRecord(installed, previous, floor, recordTemporary_); !made)
        return made;
    if (ReplaceResult moved = folder_->renameOver(recordTemporary_, recordName()); !moved) {
        removeTemporaries();
        return moved;
    }
    recordTemporary_.clear();
    return {};
}

}  // namespace adv::install
