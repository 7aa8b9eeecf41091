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
    // administrator may write it or its folder. `why` says why, in English.
    static std::unique_ptr<LogFile> open(const std::filesystem::path& path, std::string& why);

    virtual ~LogFile() = default;
    virtual std::int64_t size() const = 0;
    // Writes through at once: a killed run keeps every line it wrote.
    virtual bool write(std::string_view bytes) = 0;
};

}  // namespace adv::platform
