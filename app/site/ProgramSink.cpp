#include "app/site/ProgramSink.h"

#include <utility>

#include "app/channel/ServerLayout.h"
#include "app/core/RunLog.h"
#include "app/site/UpdateTexts.h"

namespace adv {

ProgramSink::ProgramSink(install::FileReplacement& file, bool hashing, std::optional<std::int64_t> whole,
                         std::int64_t limit)
    : file_(file), whole_(whole), limit_(limit)
{
    if (hashing)
        hash_.emplace();
}

platform::FtpResult ProgramSink::take(const char* data, std::size_t size)
{
    if (install::ReplaceResult written = file_.write(data, size); !written)
        return {platform::FtpFailure::Sink, 0, std::move(written.detail), {}};
    if (hash_)
        hash_->update(data, size);
    size_ += static_cast<std::int64_t>(size);
    return {};
}

install::ReplaceResult ProgramSink::takeHeld()
{
    if (!whole_ || file_.held() > *whole_)
        return {install::ReplaceStatus::Failed, "the download kept is not of this release"};
    install::ReplaceResult read = file_.readHeld([this](const char* data, std::size_t size) {
        if (hash_)
            hash_->update(data, size);
        size_ += static_cast<std::int64_t>(size);
        return install::ReplaceResult{};
    });
    held_ = size_;
    return read;
}

platform::FtpResult IndexSink::take(const char* data, std::size_t size)
{
    text.append(data, size);
    return {};
}

std::int64_t IndexSink::capacity() const
{
    return static_cast<std::int64_t>(kMaxIndexBytes);
}

platform::FtpResult fetchProgram(platform::FtpClient& ftp, UpdateUi& ui, const std::string& name, ProgramSink& sink)
{
    const platform::FtpResult fetched = ftp.FetchFile(
        name, sink, [&ui](std::int64_t received, std::int64_t total) { ui.downloadProgress(received, total); });
    ui.downloadEnded();
    return fetched;
}

FetchedRelease fetchRelease(platform::FtpClient& ftp, UpdateUi& ui, install::FileReplacement& replacement,
                            const std::string& name, const ReleaseIndex& index)
{
    FetchedRelease fetched;
    const install::Resumable resumable{minisign::toHex(index.hash).substr(0, 32), index.size};
    if (fetched.local = replacement.begin(&resumable); !fetched.local)
        return fetched;
    ui.AppendStatus(text::kDownloadStarts);
    for (bool again = replacement.held() > 0;; again = false) {
        ProgramSink sink(replacement, true, index.size, index.size);
        if (fetched.local = sink.takeHeld(); !fetched.local)
            return fetched;
        if (again)
            runlog::write(text::resumed(sink.heldAlready(), index.size));
        // Whole already: a night that could not put it in place.
        fetched.server = sink.heldAlready() == index.size ? platform::FtpResult{} : fetchProgram(ftp, ui, name, sink);
        // Cut short, though the server said it was all: kept, to go on with.
        if (fetched.server && sink.size() < index.size)
            fetched.server = {platform::FtpFailure::Transfer,
                              0,
                              "the transfer broke off at byte " + std::to_string(sink.size()) + " of " +
                                  std::to_string(index.size),
                              {}};
        if (fetched.server)
            fetched.hash = sink.hash();
        if (fetched.hash && (*fetched.hash != index.hash || sink.size() != index.size))
            fetched.hash.reset();
        // A cut goes on next time; but when what was kept is not this
        // release's start, or the server will not send from its end, once
        // more from byte 0.
        if (!again || fetched.hash || (!fetched.server && fetched.server.failure != platform::FtpFailure::Resume))
            return fetched;
        if (fetched.local = replacement.restart(); !fetched.local)
            return fetched;
        fetched.server = {};
    }
}

}  // namespace adv
