// The configuration file, written by hand by the operator and read literally.
#pragma once

#include <QString>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/core/Failure.h"
#include "app/core/PublicKey.h"
#include "platform/FtpClient.h"

namespace adv {

// Where a site stands in a staged release: first (by its place), by its
// place, or last.
enum class SiteGroup { Pilot, Normal, Last };

// The operators' working hours, minutes after midnight by this machine's
// clock; `to` before `from` spans midnight.
struct WorkingHours {
    int from = 0;
    int to = 0;
    bool operator==(const WorkingHours&) const = default;
};

struct Config {
    // The key table's defaults.
    Config();

    // The folder that stands for the drive the products are installed on.
    std::filesystem::path root;
    std::chrono::milliseconds closeGrace{};
    bool showDownload = false;

    std::string host;
    std::string user;
    std::string password;
    std::string remoteFolder;
    platform::FtpOptions ftp;

    // The maker's minisign key: with one, only downloads it signed are installed.
    std::optional<minisign::PublicKey> publicKey;

    // The maker's side (--publish): the minisign secret key file, and how
    // many release files the server keeps.
    QString signingKey;
    int keepReleases = 3;
    // The key that renews the index weekly (--refresh), an open minisign
    // secret key file, never the signing key; and how many days the index
    // holds from its signing or its last renewal. Without a refresh key the
    // index holds for ever.
    QString refreshKey;
    int indexValidDays = 14;

    // The site's side of a staged release: its own random id (empty: drawn
    // once and kept beside the log file) and its group.
    std::string siteId;
    SiteGroup group = SiteGroup::Normal;

    // A nightly --update: a random wait before anything is closed or
    // connected; more attempts after a failure that may pass, each after a
    // random wait up to retryBase * 2^k, at most retryMax; and the hours in
    // which it closes nothing.
    std::chrono::seconds randomDelay{};
    int retries = 0;
    std::chrono::seconds retryBase{};
    std::chrono::seconds retryMax{};
    std::optional<WorkingHours> workingHours;

    // The site's report of each run, left on the server for the maker: over
    // the update's own session, or, with a user of its own, over a short
    // second session with that account, into its folder (empty: the reports
    // folder below remoteFolder).
    bool report = true;
    std::string reportUser;
    std::string reportPassword;
    std::string reportFolder;

    // The run's log file: none, the place of each OS; empty, no log.
    std::optional<QString> logFile;

    // The file the values came from; empty when only defaults apply.
    QString file;
};

struct ConfigResult {
    std::optional<Config> config;
    Cause cause;      // one line, naming the file, the line and what is wrong
    QString warning;  // e.g. a password readable by other users
};

// `explicitFile` is --config's value; empty means: look in the user's
// configuration folder, then the system-wide one, else use the defaults.
//
// The file is lines of `key = value`, blank lines and whole-line comments
// starting with '#' or ';'. A value is taken byte for byte: the spaces around
// it are trimmed and one pair of double quotes around it is removed, nothing
// else (no escapes, no continuation lines, no comment after a value). Any
// line that is not of this form, a key given twice, an unknown key, a control
// character in a value, an unterminated quote or a value of the wrong kind
// makes the whole file an error.
ConfigResult loadConfig(const QString& explicitFile);

// The values of `text` read into `config`, as the file `file` would give
// them; why not, naming the file and the line, when one does not read.
Refusal readConfigText(Config& config, std::string_view text, const QString& file);

// A key built into the program (empty: none) becomes the configuration's,
// whatever the file says: the file may repeat it, not replace it. Returns
// why not when the file names another key.
Refusal adoptBuiltInKey(Config& config, std::string_view builtIn);

// A key the file may hold, and its default as it would be written there
// (empty: none). The README's table of keys says the same.
struct ConfigKey {
    std::string_view name;
    std::string_view defaultText;
};
std::vector<ConfigKey> configKeys();

// Whether `host` is a host name (letters, digits and hyphens, in dot-separated
// labels), an IPv4 address or an IPv6 address (with or without brackets).
bool isValidHostName(std::string_view host);

}  // namespace adv
