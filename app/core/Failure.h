// Why something failed or was refused, one shape for the whole program
// above the OS layer: the operator's Italian, and the words it rests on --
// the server's reply, the library's or the system's, quoted as they came --
// which are for IT and go only to the log file. Never holds the password.
#pragma once

#include <QString>

#include <optional>
#include <string_view>
#include <utility>

namespace adv {

struct Config;
namespace platform {
struct FtpResult;
}  // namespace platform

struct Cause {
    QString text;
    QString detail;

    Cause() = default;
    Cause(QString italian, QString words = {}) : text(std::move(italian)), detail(std::move(words)) {}  // NOLINT
    bool isEmpty() const { return text.isEmpty(); }
    // Another cause after this one, each part with its own.
    Cause& operator+=(const Cause& more)
    {
        const auto join = [](QString& to, const QString& from) {
            to += (to.isEmpty() || from.isEmpty() ? QString() : QStringLiteral("; ")) + from;
        };
        join(text, more.text);
        join(detail, more.detail);
        return *this;
    }
    // Both, as the log file keeps them.
    QString logged() const { return detail.isEmpty() ? text : text + QStringLiteral(" (dettaglio: %1)").arg(detail); }
};

// A step that may refuse: why, or nothing when it can be taken.
using Refusal = std::optional<Cause>;

namespace text {

// An Italian cause, and the system's own words behind it (bytes that do not
// print are shown as \xNN).
Cause because(const QString& italian, std::string_view detail);

// Why the FTP session failed, in the operator's words: what to check, and
// the server's and the library's words for the log.
Cause ftpCause(const platform::FtpResult& why, const Config& config);

// Text of the program's own (UTF-8) as a QString.
inline QString q(std::string_view utf8)
{
    return QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size()));
}

}  // namespace text
}  // namespace adv
