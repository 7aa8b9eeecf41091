// What an FTP session is set up with before its first request: its settings
// checked, the server's address, and the connection's own options on a fresh
// libcurl handle (time-outs, TLS and whom it trusts, the proxy, the account).
#pragma once

#include <curl/curl.h>

#include <chrono>
#include <functional>
#include <string>
#include <string_view>

#include "platform/FtpClient.h"
#include "platform/TlsTrust.h"

namespace adv::platform {

// A CR, LF or NUL: in a name or a setting it would reach the server as a
// command of its own.
bool holdsLineBreak(std::string_view text);

// A name of the current folder that any request may carry: it names no
// other folder, holds no line break (which would reach the server as a
// command of its own) and does not start with '*', which libcurl takes in a
// command as "ignore a refusal".
bool isRemoteName(std::string_view name);

// Success, or why these settings cannot open a session.
FtpResult checkSettings(const std::string& host, const std::string& user, const std::string& password,
                        const FtpOptions& options);

// The login folder on the server, "ftp://host:port/" (ftps:// for implicit TLS).
std::string serverUrl(const std::string& host, const FtpOptions& options);

// The URL path of `folder` in the login folder `entry` (as the server names
// it), each name escaped and followed by '/'.
std::string remotePath(std::string_view entry, std::string_view folder,
                       const std::function<std::string(std::string_view)>& escape);

// The path of `folder` in the login folder `entry`, as the server names it
// from its root, ending in '/'; empty when the server did not name its login
// folder from its root.
std::string serverPath(std::string_view entry, std::string_view folder);

// The connection's options on `easy`, for a session that only reads or one
// that also stores; false when libcurl refused one. Without a ca_file the
// server is judged by `trust`, its host already set, which outlives `easy`.
bool setUpConnection(CURL* easy, const FtpOptions& options, const std::string& user, const std::string& password,
                     bool stores, SystemTrust& trust);

// The window over which the rate floor is judged.
std::chrono::seconds stallWindow(const FtpOptions& options);

}  // namespace adv::platform
