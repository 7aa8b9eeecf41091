// The file a run appends its log to. Its place may be chosen by whoever can
// write the folder, and the updater often runs as the administrator: what
// stands there is looked at before anything opens it, and only an ordinary
// file is ever written. Qt-free.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

namespace adv::platform {

class LogFile {
public:
    // Opens `path` to append, creating it when missing. Refused at once,
    // without opening it, when a link, a folder, a FIFO or a device stands
    // there; refused too when someone other than this user and the
    // administrator may write it or its folder; then `why` says why, in English.
    struct Opened;
    static Opened open(const std::filesystem::path& path);

    virtual ~LogFile() = default;
    virtual std::int64_t size() const = 0;
    // Writes through at once: a killed run keeps every line it wrote.
    virtual bool write(std::string_view bytes) = 0;
};

struct LogFile::Opened {
    std::unique_ptr<LogFile> file;
    std::string detail;  // why not, in English
};

}  // namespace adv::platform
