// The install transaction, the same steps in the same order on every OS.
#include "platform/FileReplacement.h"

#include <algorithm>
#include <charconv>
#include <random>
#include <utility>
#include <vector>

namespace adv::platform {
namespace {

constexpr std::string_view kRecordHeader = "AggiornaDV release record 1";
constexpr std::size_t kMaxRecordBytes = 4096;
constexpr std::size_t kCompareChunk = 1024 * 1024;

ReplaceResult fromFolder(FolderResult result)
{
    switch (result.status) {
    case FolderStatus::Ok: return {};
    case FolderStatus::Busy: return {ReplaceStatus::Busy, std::move(result.detail)};
    case FolderStatus::Failed: break;
    }
    return {ReplaceStatus::Failed, std::move(result.detail)};
}

std::string field(const std::optional<std::int64_t>& value)
{
    return value ? std::to_string(*value) : "-";
}

template <typename Number>
bool parseNumber(std::string_view text, Number& out)
{
    if (text.empty() || !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return false;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), out);
    return error == std::errc{} && end == text.data() + text.size();
}

bool parseOptional(std::string_view text, std::optional<std::int64_t>& out)
{
    if (text == "-") {
        out.reset();
        return true;
    }
    std::int64_t value = 0;
    if (!parseNumber(text, value))
        return false;
    out = value;
    return true;
}

bool isHash(std::string_view text)
{
    return text == "-" || (text.size() == 128 && std::all_of(text.begin(), text.end(), [](char c) {
                               return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
                           }));
}

std::vector<std::string_view> split(std::string_view text, char by)
{
    std::vector<std::string_view> parts;
    while (true) {
        const auto at = text.find(by);
        parts.push_back(text.substr(0, at));
        if (at == std::string_view::npos)
            return parts;
        text.remove_prefix(at + 1);
    }
}

}  // namespace

// A release and the file it was recorded for.
struct FileReplacement::Recorded {
    Release release;
    Entry file;

    static Recorded of(Release release, const Entry& file)
    {
        return file.kind == EntryKind::File ? Recorded{std::move(release), file} : Recorded{};
    }
    bool describes(const Entry& now) const
    {
        return now.kind == EntryKind::File && now.id == file.id && now.size == file.size &&
               now.modified == file.modified;
    }
    std::string line(std::string_view key) const
    {
        return std::string(key) + " " + field(release.signedAt) + " " + (release.hash.empty() ? "-" : release.hash) +
               " " + std::to_string(file.id) + " " + std::to_string(file.size) + " " + std::to_string(file.modified) +
               "\n";
    }
    bool parse(std::string_view line, std::string_view key)
    {
        const auto parts = split(line, ' ');
        if (parts.size() != 6 || parts[0] != key || !parseOptional(parts[1], release.signedAt) || !isHash(parts[2]) ||
            !parseNumber(parts[3], file.id) || !parseNumber(parts[4], file.size) ||
            !parseNumber(parts[5], file.modified))
            return false;
        file.kind = EntryKind::File;
        release.hash = parts[2] == "-" ? std::string() : std::string(parts[2]);
        return true;
    }
};

std::unique_ptr<FileReplacement> FileReplacement::open(const std::filesystem::path& target, ReplaceResult& why)
{
    FolderResult opened;
    auto folder = openInstallFolder(target.parent_path(), opened);
    why = fromFolder(std::move(opened));
    if (!folder)
        return nullptr;
    return std::make_unique<FileReplacement>(std::move(folder), target.filename().string());
}

FileReplacement::FileReplacement(std::unique_ptr<InstallFolder> folder, std::string name)
    : folder_(std::move(folder)), name_(std::move(name))
{
}

FileReplacement::~FileReplacement()
{
    abandon();
}

std::string FileReplacement::shown() const
{
    return folder_->shown(name_);
}

bool FileReplacement::installed()
{
    return folder_->entry(name_).kind == EntryKind::File;
}

bool FileReplacement::previousKept()
{
    return folder_->entry(name_ + std::string(kPreviousSuffix)).kind == EntryKind::File;
}

std::string FileReplacement::temporaryName() const
{
    // A name no other program will pick, hidden from a plain `ls`, and
    // cleared away by the next updater if this one is killed.
    static constexpr char kAlphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::random_device random;
    std::uniform_int_distribution<std::size_t> pick(0, sizeof kAlphabet - 2);
    std::string name = "." + name_ + ".new-";
    for (int i = 0; i < 8; ++i)
        name += kAlphabet[pick(random)];
    return name;
}

ReplaceResult FileReplacement::lock()
{
    if (ReplaceResult taken = fromFolder(folder_->lock(name_ + std::string(kLockSuffix))); !taken)
        return taken;
    locked_ = true;
    // What updaters that were killed midway left; none is writing now.
    const std::string leftover = "." + name_ + ".new-";
    for (const std::string& name : folder_->names()) {
        if (name.starts_with(leftover))
            (void)folder_->remove(name);
    }
    return readRecord();
}

ReplaceResult FileReplacement::readRecord()
{
    record_ = {};
    floorOnDisk_.reset();
    const std::string name = name_ + std::string(kRecordSuffix);
    const Entry file = folder_->entry(name);
    if (file.kind == EntryKind::Missing)
        return {};
    const auto damaged = [this, &name](const std::string& why) {
        return ReplaceResult{ReplaceStatus::Damaged, "the release record " + folder_->shown(name) + " " + why +
                                                         "; it is not read as \"no release\": remove it only if "
                                                         "you know which release is installed"};
    };
    if (file.kind != EntryKind::File)
        return damaged("is not an ordinary file");
    std::string text(kMaxRecordBytes + 1, '\0');
    std::size_t got = 0;
    if (FolderResult read = folder_->read(name, 0, text.data(), text.size(), got); !read)
        return damaged("cannot be read (" + read.detail + ")");
    text.resize(got);
    const auto lines = split(text, '\n');
    Recorded installed, previous;
    std::optional<std::int64_t> floor;
    const auto floorParts = lines.size() == 5 ? split(lines[1], ' ') : std::vector<std::string_view>{};
    if (got > kMaxRecordBytes || lines.size() != 5 || lines[0] != kRecordHeader || !lines[4].empty() ||
        floorParts.size() != 2 || floorParts[0] != "floor" || !parseOptional(floorParts[1], floor) ||
        !installed.parse(lines[2], "installed") || !previous.parse(lines[3], "previous"))
        return damaged("is not in the form this updater writes");

    floorOnDisk_ = floor;
    record_.floor = floor;
    if (installed.describes(folder_->entry(name_)))
        record_.installed = installed.release;
    if (previous.describes(folder_->entry(name_ + std::string(kPreviousSuffix))))
        record_.previous = previous.release;
    return {};
}

std::optional<std::string> FileReplacement::legacySignature(std::size_t maxBytes)
{
    const std::string name = name_ + std::string(kSignatureSuffix);
    if (!locked_ || folder_->entry(name_ + std::string(kRecordSuffix)).kind != EntryKind::Missing ||
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

ReplaceResult FileReplacement::writeRecord(const Recorded& installed, const Recorded& previous,
                                           std::optional<std::int64_t> floor, std::string& temporary)
{
    const std::string text = std::string(kRecordHeader) + "\nfloor " + field(floor) + "\n" +
                             installed.line("installed") + previous.line("previous");
    temporary = temporaryName();
    FolderResult written = folder_->create(temporary);
    if (written)
        written = folder_->write(text.data(), text.size());
    if (written)
        written = folder_->seal(name_ + std::string(kRecordSuffix));
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
    if (ReplaceResult moved = fromFolder(folder_->renameOver(recordTemporary_, name_ + std::string(kRecordSuffix)));
        !moved) {
        removeTemporaries();
        return moved;
    }
    recordTemporary_.clear();
    floorOnDisk_ = floor;
    return {};
}

ReplaceResult FileReplacement::begin()
{
    abandon();
    if (!locked_)
        return {ReplaceStatus::Failed, "the installation " + shown() + " is not locked"};
    temporary_ = temporaryName();
    if (ReplaceResult created = fromFolder(folder_->create(temporary_)); !created) {
        temporary_.clear();
        return created;
    }
    return {};
}

ReplaceResult FileReplacement::write(const char* data, std::size_t size)
{
    if (temporary_.empty())
        return {ReplaceStatus::Failed, "no replacement of " + shown() + " is under way"};
    if (ReplaceResult written = fromFolder(folder_->write(data, size)); !written)
        return written;
    written_ += static_cast<std::int64_t>(size);
    return {};
}

bool FileReplacement::sameFiles(const std::string& a, const std::string& b)
{
    std::vector<char> left(kCompareChunk), right(kCompareChunk);
    for (std::int64_t offset = 0;; offset += static_cast<std::int64_t>(kCompareChunk)) {
        std::size_t gotLeft = 0, gotRight = 0;
        if (!folder_->read(a, offset, left.data(), left.size(), gotLeft) ||
            !folder_->read(b, offset, right.data(), right.size(), gotRight) || gotLeft != gotRight ||
            !std::equal(left.begin(), left.begin() + static_cast<std::ptrdiff_t>(gotLeft), right.begin()))
            return false;
        if (gotLeft < kCompareChunk)
            return true;
    }
}

// Signatures that an earlier release of this updater kept beside the
// programs: the record holds what they proved.
void FileReplacement::removeLegacySignatures()
{
    (void)folder_->remove(name_ + std::string(kSignatureSuffix));
    (void)folder_->remove(name_ + std::string(kPreviousSuffix) + std::string(kSignatureSuffix));
}

void FileReplacement::removeTemporaries() noexcept
{
    folder_->discard();
    for (std::string* name : {&temporary_, &recordTemporary_, &held_}) {
        if (!name->empty())
            (void)folder_->remove(*name);
        name->clear();
    }
}

void FileReplacement::abandon() noexcept
{
    removeTemporaries();
    written_ = 0;
}

ReplaceResult FileReplacement::commit(const Release& release)
{
    if (temporary_.empty())
        return {ReplaceStatus::Failed, "no replacement of " + shown() + " is under way"};
    const std::string previousName = name_ + std::string(kPreviousSuffix);
    const auto fail = [this](ReplaceResult why) {
        removeTemporaries();
        return why;
    };

    if (ReplaceResult sealed = fromFolder(folder_->seal(name_)); !sealed)
        return fail(sealed);
    const Entry current = folder_->entry(name_);
    const Entry fresh = folder_->entry(temporary_);
    if (current.kind == EntryKind::Other)
        return fail({ReplaceStatus::Failed, shown() + " is not an ordinary file"});
    const Recorded oldInstalled = Recorded::of(record_.installed, current);
    const Recorded oldPrevious = Recorded::of(record_.previous, folder_->entry(previousName));
    std::optional<std::int64_t> floor = record_.floor;
    if (release.signedAt)
        floor = std::max(floor.value_or(*release.signedAt), *release.signedAt);

    // The same program again is not an update: replacing it would push out
    // the only previous program. A signed release the record did not know
    // (installed before there was one) is written down, so that the next
    // update finds it from its signature alone.
    if (current.kind == EntryKind::File && current.size == fresh.size && sameFiles(temporary_, name_)) {
        removeTemporaries();
        ReplaceResult learnt{ReplaceStatus::Unchanged, {}};
        if (release.signedAt && release != record_.installed) {
            if (ReplaceResult put = putRecord(Recorded::of(release, current), oldPrevious, floor); put) {
                record_.installed = release;
                removeLegacySignatures();
            } else {
                learnt.detail = put.detail;
            }
        }
        return learnt;
    }

    // The floor goes to disk first, with the old program still described:
    // from here on a cut can never let an older release in.
    if (floor != floorOnDisk_) {
        if (ReplaceResult raised = putRecord(oldInstalled, oldPrevious, floor); !raised)
            return fail(raised);
    }
    // The record of the new program is whole on disk before the program moves:
    // a disk that cannot hold it fails the update here.
    const Recorded next = Recorded::of(release, fresh);
    const Recorded kept = current.kind == EntryKind::File ? oldInstalled : oldPrevious;
    if (ReplaceResult made = writeRecord(next, kept, floor, recordTemporary_); !made)
        return fail(made);
    // The installed program gets a second name, which becomes the previous
    // program only once the new one stands: a failed rename leaves the
    // earlier previous program where it was.
    if (current.kind == EntryKind::File) {
        held_ = temporaryName();
        if (ReplaceResult linked = fromFolder(folder_->link(name_, held_)); !linked) {
            held_.clear();
            return fail(linked);
        }
    }
    if (ReplaceResult replaced = fromFolder(folder_->renameOver(temporary_, name_)); !replaced)
        return fail({ReplaceStatus::Failed, "cannot replace " + shown() + ": " + replaced.detail});
    temporary_.clear();

    // The new program stands; what follows only tidies, and a failure of it
    // is said, not undone.
    std::string untidy;
    if (!held_.empty()) {
        if (FolderResult moved = folder_->renameOver(held_, previousName); moved)
            held_.clear();
        else
            untidy += moved.detail + "; ";
    }
    if (FolderResult moved = folder_->renameOver(recordTemporary_, name_ + std::string(kRecordSuffix)); moved)
        recordTemporary_.clear();
    else
        untidy += moved.detail + "; ";
    removeLegacySignatures();
    if (FolderResult synced = folder_->sync(); !synced)
        untidy += synced.detail + "; ";
    removeTemporaries();
    written_ = 0;
    if (!untidy.empty())
        untidy = "the new program is installed, but: " + untidy.substr(0, untidy.size() - 2);
    return {ReplaceStatus::Ok, untidy};
}

ReplaceResult FileReplacement::rollBack()
{
    if (!locked_)
        return {ReplaceStatus::Failed, "the installation " + shown() + " is not locked"};
    const std::string previousName = name_ + std::string(kPreviousSuffix);
    const Entry previous = folder_->entry(previousName);
    const Entry current = folder_->entry(name_);
    if (previous.kind != EntryKind::File)
        return {ReplaceStatus::NothingKept, "no previous " + shown() + " is kept"};
    if (current.kind == EntryKind::Other)
        return {ReplaceStatus::Failed, shown() + " is not an ordinary file"};

    // Each file keeps its identity through the swap, so the record written
    // beforehand describes whichever state a cut leaves.
    const Recorded back = Recorded::of(record_.previous, previous);
    const Recorded forward = Recorded::of(record_.installed, current);
    if (ReplaceResult made = writeRecord(back, forward, record_.floor, recordTemporary_); !made)
        return made;
    const FolderResult swapped = current.kind == EntryKind::File ? folder_->exchange(name_, previousName)
                                                                 : folder_->renameOver(previousName, name_);
    if (!swapped) {
        removeTemporaries();
        return {ReplaceStatus::Failed, "cannot put back " + folder_->shown(previousName) + ": " + swapped.detail};
    }
    std::string untidy;
    if (FolderResult moved = folder_->renameOver(recordTemporary_, name_ + std::string(kRecordSuffix)); moved)
        recordTemporary_.clear();
    else
        untidy = "the previous program is back, but: " + moved.detail;
    removeLegacySignatures();
    (void)folder_->sync();
    removeTemporaries();
    std::swap(record_.installed, record_.previous);
    return {ReplaceStatus::Ok, untidy};
}

}  // namespace adv::platform
