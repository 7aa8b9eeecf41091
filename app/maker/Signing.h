// What the maker's machine signs with: the secret key, opened and checked
// against the key sites trust; the program and its signature, checked as
// sites will check them.
#pragma once

#include <QString>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "app/core/Config.h"
#include "app/core/Failure.h"
#include "app/maker/SecretKey.h"
#include "app/maker/ServerFiles.h"

namespace adv {

// Asked only for a key sealed with a password; nothing when none is given.
using AskPassword = std::function<std::optional<std::string>()>;

// Told what does not stop the run, before any password is asked.
using Warn = std::function<void(const QString&)>;

// The configuration's signing key into `key`, or why not. A key file others
// may read or write is refused when it is open and warned about when sealed.
Refusal openKey(const Config& config, const AskPassword& askPassword, const Warn& warn,
                std::optional<minisign::SecretKey>& key);

// The configuration's refresh key into `key`, or why not: it runs
// unattended, so it is open (no password), its owner's alone, and never the
// key sites trust for everything else.
Refusal openRefreshKey(const Config& config, std::optional<minisign::SecretKey>& key);

// The program at `program` and the maker's own signature of it in
// `signatureFile` into `files`, checked as sites will check them; no
// secret key needed.
Refusal takeSignature(const Config& config, const QString& program, const QString& signatureFile, std::int64_t now,
                      ReleaseFiles& files);

// The program at `program` into `files`, signed here with `key` at `now`.
Refusal signProgram(const Config& config, const QString& program, const minisign::SecretKey& key, std::int64_t now,
                    ReleaseFiles& files);

}  // namespace adv
