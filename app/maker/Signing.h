// What the maker's machine signs with and keeps: the secret key, opened
// and checked against the key sites trust; the program and its signature,
// checked as sites will check them; and the last index signed here.
#pragma once

#include <QString>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "app/core/Config.h"
#include "app/core/Failure.h"
#include "app/maker/SecretKey.h"
#include "app/maker/ServerFiles.h"

namespace adv {

// Asked only for a key sealed with a password; nothing when none is given.
using AskPassword = std::function<std::optional<std::string>()>;

// The configuration's signing key into `key`, or why not.
Refusal openKey(const Config& config, const AskPassword& askPassword, std::optional<minisign::SecretKey>& key);

// The program at `program` and its signature into `files`: the one in
// `signatureFile`, or, when that is empty, one made here with `key` at `now`.
Refusal signProgram(const Config& config, const QString& program, const QString& signatureFile,
                    const minisign::SecretKey& key, std::int64_t now, ReleaseFiles& files);

// The last index this machine signed, kept beside the key: were the server
// to serve an older one back, or none, the maker would otherwise sign away
// the withdrawals made since.
QString lastIndexPath(const Config& config);
// When it was signed; 0 when there is none.
std::int64_t lastSignedHere(const Config& config);
bool rememberIndex(const Config& config, std::string_view sealed);

}  // namespace adv
