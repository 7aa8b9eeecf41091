// What the server offers a site, read one piece at a time as the verdict
// asks for it (Decide.h): the maker's index, the signature beside dolvo.exe,
// the size and time of dolvo.exe. Each piece costs the server only the
// commands it needs: an index the site read last time is asked about, not
// fetched again (ServerMemo.h).
#pragma once

#include <optional>
#include <string>

#include "app/core/UpdateUi.h"
#include "app/site/Decide.h"
#include "app/site/ServerMemo.h"
#include "app/site/UpdateReport.h"
#include "install/FileReplacement.h"
#include "platform/FtpClient.h"

namespace adv {

// How a step ends when the server failed it; a stop asked for while the
// server was waited for ends the command at once, whatever step it is in.
UpdateReport serverFailed(UpdateUi& ui, const Config& config, UpdateOutcome outcome, const QString& line,
                          const platform::FtpResult& why);

class ReadOffer {
public:
    // With the memo kept beside `installation`'s program.
    ReadOffer(UpdateUi& ui, platform::FtpClient& ftp, const Config& config, install::FileReplacement& installation);

    // The maker's index into `offer`; without one, or in a form this
    // program does not read (a later one), nothing: the pair is taken.
    std::optional<UpdateReport> index(Offer& offer);
    // The maker's signature beside dolvo.exe, and its text as judged.
    std::optional<UpdateReport> signature(Offer& offer, std::string& text);
    // The refresh statement beside the index, when the index names a key
    // for it; one refused is logged. --check says until when the index holds.
    std::optional<UpdateReport> statement(Situation& situation);
    // The size and time the server gives for dolvo.exe.
    std::optional<UpdateReport> program(Offer& offer);

    // What this site remembered of the server when the run began, of this server only.
    const std::optional<ServerMemo>& remembered() const { return memo_; }
    // Keeps what was read anew for the next run (under the installation's
    // lock): `installedHash`, the hash of the program taken without index
    // or key, when one was. A memo that cannot be kept is only logged.
    void keep(const std::string& installedHash = {});

private:
    UpdateUi& ui_;
    platform::FtpClient& ftp_;
    const Config& config_;
    install::FileReplacement& installation_;
    std::optional<ServerMemo> memo_;
    std::optional<ServerFacts> indexFacts_;
    std::string indexText_;
    bool indexRead_ = false;  // the index was fetched, not taken from the memo
    std::optional<ServerFacts> programFacts_;
};

}  // namespace adv
