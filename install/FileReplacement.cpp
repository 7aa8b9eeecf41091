// The install transaction, the same steps in the same order on every OS.
#include "install/FileReplacement.h"

#include "install/ReleaseRecord.h"

#include <algorithm>
#include <random>
#include <utility>
#include <vector>

namespace adv::install {

using platform::Entry;
using platform::EntryKind;
using platform::InstallFolder;
namespace {

constexpr std::size_t kCompareChunk = 1024 * 1024;

}  // namespace

Opened FileReplacement::open(const std::filesystem::path& target)
{
    platform::OpenedFolder opened = platform::openInstallFolder(target.parent_path());
    if (!opened.folder)
        return {nullptr, std::move(opened.result)};
    return {std::make_unique<FileReplacement>(std::move(opened.folder), target.filename().string()), {}};
}

FileReplacement::FileReplacement(std::unique_ptr<InstallFolder> folder, std::string name)
    : folder_(std::move(folder)), name_(std::move(name))
{
}

FileReplacement::~FileReplacement()
{
    abandon();
}

std::string FileReplacement::recordName() const
{
    return name_ + std::string(kRecordSuffix);
}

std::string FileReplacement::shown() const
{
    return folder_->shown(name_);
}

std::string FileReplacement::temporaryName(std::string_view tag) const
{
    // A name no other program will pick, hidden from a plain `ls`, and
    // cleared away by the next updater if this one is killed.
    static constexpr char kAlphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::random_device random;
    std::uniform_int_distribution<std::size_t> pick(0, sizeof kAlphabet - 2);
    std::string name = "." + name_ + std::string(tag);
    for (int i = 0; i < 8; ++i)
        name += kAlphabet[pick(random)];
    return name;
}

ReplaceResult FileReplacement::lock()
{
    if (ReplaceResult taken = folder_->lock(name_ + std::string(kLockSuffix)); !taken)
        return taken;
    locked_ = true;
    recoverLeftovers();
    return readRecord();
}

std::string FileReplacement::recordText(const std::string& name, bool& readable)
{
    std::string text(kMaxRecordBytes + 1, '\0');
    std::size_t got = 0;
    readable = static_cast<bool>(folder_->read(name, 0, text.data(), text.size(), got));
    text.resize(got);
    return text;
}

bool FileReplacement::holds(const std::string& name, const std::string& kept, const Entry& keptEntry)
{
    const Entry there = folder_->entry(name);
    return there.kind == EntryKind::File &&
           (there.id == keptEntry.id || (there.size == keptEntry.size && sameFiles(kept, name)));
}

// What an updater that was cut midway left; none is writing now (the lock is
// ours). A kept program that neither the installed nor the previous name
// holds is the only copy of a release: it goes where the cut step was taking
// it. A record written for the program that now stands is put in place, so
// the floor and the releases it knew are not lost. Everything else goes,
// but for a download kept to go on with, which is no release's only copy
// and begin()'s to keep or drop.
void FileReplacement::recoverLeftovers()
{
    const std::string written = "." + name_ + std::string(kNewTag);
    const std::string kept = "." + name_ + std::string(kKeptTag);
    const std::string previousName = name_ + std::string(kPreviousSuffix);
    std::vector<std::string> pending;
    for (const std::string& name : folder_->names()) {
        if (name.starts_with(written))
            pending.push_back(name);
        if (!name.starts_with(kept))
            continue;
        const Entry entry = folder_->entry(name);
        if (entry.kind == EntryKind::File && !holds(name_, name, entry) && !holds(previousName, name, entry) &&
            folder_->renameOver(name, folder_->entry(name_).kind == EntryKind::Missing ? name_ : previousName))
            continue;
        (void)folder_->remove(name);
    }

    bool readable = false;
    const bool recorded = folder_->entry(recordName()).kind != EntryKind::Missing;
    const std::optional<Stored> onDisk = recorded ? Stored::parse(recordText(recordName(), readable)) : std::nullopt;
    const Entry installed = folder_->entry(name_);
    for (const std::string& name : pending) {
        // A damaged record is the operator's to look at, never replaced.
        const std::optional<Stored> stored =
            recorded && !onDisk ? std::nullopt : Stored::parse(recordText(name, readable));
        const bool stands = stored && stored->installed.describes(installed) &&
                            (!onDisk || stored->floor.value_or(0) >= onDisk->floor.value_or(0));
        if (!stands || !folder_->renameOver(name, recordName()))
            (void)folder_->remove(name);
    }
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
    if (resumable_)
        temporary_.clear();  // kept for a later begin() of the same release
    resumable_.reset();
    heldBytes_ = 0;
    for (std::string* name : {&temporary_, &recordTemporary_, &held_}) {
        if (!name->empty())
            (void)folder_->remove(*name);
        name->clear();
    }
}

void FileReplacement::abandon() noexcept
{
    removeTemporaries();
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

    if (ReplaceResult sealed = folder_->seal(name_); !sealed)
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
        resumable_.reset();  // nothing is left to go on with
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

    // The record of the new program, and with it the raised floor, is whole
    // on disk before the program moves: a disk that cannot hold it fails the
    // update here, and once the program stands a cut leaves the record for
    // the next run to put in place. A release that never stood raises nothing.
    const Recorded next = Recorded::of(release, fresh);
    const Recorded kept = current.kind == EntryKind::File ? oldInstalled : oldPrevious;
    if (ReplaceResult made = writeRecord(next, kept, floor, recordTemporary_); !made)
        return fail(made);
    // The installed program gets a second name, which becomes the previous
    // program only once the new one stands: a failed rename leaves the
    // earlier previous program where it was.
    if (current.kind == EntryKind::File) {
        if (ReplaceResult held = keep(name_); !held)
            return fail(held);
    }
    if (ReplaceResult replaced = folder_->renameOver(temporary_, name_); !replaced)
        return fail({replaced.status == ReplaceStatus::HeldOpen ? ReplaceStatus::HeldOpen : ReplaceStatus::Failed,
                     "cannot replace " + shown() + ": " + replaced.detail});
    temporary_.clear();

    // The new program stands; what follows only tidies, and a failure of it
    // is said, not undone. What could not be moved stays for the next run,
    // which finishes the move: the replaced program may have no other name.
    std::string untidy;
    for (auto [from, to] : {std::pair{&held_, previousName}, std::pair{&recordTemporary_, recordName()}}) {
        if (from->empty())
            continue;
        if (ReplaceResult moved = folder_->renameOver(*from, to); !moved)
            untidy += moved.detail + "; ";
        from->clear();
    }
    removeLegacySignatures();
    if (ReplaceResult synced = folder_->sync(); !synced)
        untidy += synced.detail + "; ";
    removeTemporaries();
    if (!untidy.empty())
        untidy = "the new program is installed, but: " + untidy.substr(0, untidy.size() - 2);
    return {ReplaceStatus::Ok, untidy};
}

// `from` under a kept name, held_: a second name, or where the file system
// has no links a copy, named only once it is whole, so that a kept name
// never holds part of a program.
ReplaceResult FileReplacement::keep(const std::string& from)
{
    const std::string kept = temporaryName(kKeptTag);
    ReplaceResult made = folder_->link(from, kept);
    if (made.status == ReplaceStatus::Unsupported) {
        const std::string copy = temporaryName(kNewTag);
        made = folder_->create(copy);
        std::vector<char> buffer(kCompareChunk);
        for (std::int64_t offset = 0; made;) {
            std::size_t got = 0;
            made = folder_->read(from, offset, buffer.data(), buffer.size(), got);
            if (!made || got == 0)
                break;
            made = folder_->write(buffer.data(), got);
            offset += static_cast<std::int64_t>(got);
        }
        if (made)
            made = folder_->seal(from);
        if (made)
            made = folder_->renameOver(copy, kept);
        if (!made) {
            folder_->discard();
            (void)folder_->remove(copy);
        }
    }
    if (made)
        held_ = kept;
    return made;
}

// The two programs trade names: in one step where the file system can, else
// in three, the installed program under a kept name meanwhile, which a cut
// leaves for the next run to finish the move with.
ReplaceResult FileReplacement::swap(const std::string& a, const std::string& b)
{
    const ReplaceResult exchanged = folder_->exchange(a, b);
    if (exchanged.status != ReplaceStatus::Unsupported)
        return exchanged;
    if (ReplaceResult kept = keep(a); !kept)
        return kept;
    if (ReplaceResult moved = folder_->renameOver(b, a); !moved)
        return moved;  // `a` stands as it was; its second name goes
    const ReplaceResult last = folder_->renameOver(held_, b);
    held_.clear();
    return last;
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
    if (ReplaceResult swapped =
            current.kind == EntryKind::File ? swap(name_, previousName) : folder_->renameOver(previousName, name_);
        !swapped) {
        // Past the middle of the swap the record written for it describes
        // what stands, and the next run puts it in place.
        if (Recorded::of({}, previous).describes(folder_->entry(name_)))
            recordTemporary_.clear();
        removeTemporaries();
        return {swapped.status, "cannot put back " + folder_->shown(previousName) + ": " + swapped.detail};
    }
    std::string untidy;
    if (ReplaceResult moved = folder_->renameOver(recordTemporary_, recordName()); !moved)
        untidy = "the previous program is back, but: " + moved.detail;
    recordTemporary_.clear();  // else the next run puts it in place
    removeLegacySignatures();
    (void)folder_->sync();
    removeTemporaries();
    std::swap(record_.installed, record_.previous);
    return {ReplaceStatus::Ok, untidy};
}

}  // namespace adv::install
