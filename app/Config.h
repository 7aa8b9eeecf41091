// The configuration file: an INI file read with QSettings.
#pragma once

#include <QString>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>

#include "platform/FtpSession.h"

namespace adv {

struct Config {
    // The folder that stands for the drive the products are installed on.
    std::filesystem::path root = "/";
    std::chrono::milliseconds closeGrace{3000};
    bool showDownload = false;

    std::string host = "ftp.zorvanik.it";
    std::string user;
    std::string password;
    std::string remoteFolder = "www.zorvanik.it/download";
    platform::FtpOptions ftp;

    // The file the values came from; empty when only defaults apply.
    QString file;
};

struct ConfigResult {
    std::optional<Config> config;
    QString error;     // one line, naming the file, the key and what is wrong
    QString warning;   // e.g. a password readable by other users
};

// `explicitFile` is --config's value; empty means: look in the user's
// configuration folder, then the system-wide one, else use the defaults.
ConfigResult loadConfig(const QString& explicitFile);

}  // namespace adv
