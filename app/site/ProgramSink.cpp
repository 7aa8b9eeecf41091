#include "app/site/ProgramSink.h"

#include <utility>

#include "app/channel/ServerLayout.h"

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

platform::FtpResult IndexSink::take(const char* data, std::size_t size)
{
    text.append(data, size);
    return {};
}

std::int64_t IndexSink::capacity() const
{
    return static_cast<std::int64_t>(kMaxIndexBytes);
}

}  // namespace adv
