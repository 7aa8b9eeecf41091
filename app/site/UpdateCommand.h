// The update command: replace the installed dolvo.exe with the server's copy.
#pragma once

#include <chrono>
#include <functional>
#include <string_view>
#include <span>
#include <vector>

#include "app/core/ExitStatus.h"
#include "app/site/Decide.h"
#include "app/site/HeldSession.h"
#include "app/site/Installation.h"
#include "app/site/UpdateReport.h"
#include "platform/FtpClient.h"
#include "process/DoroDave.h"

namespace adv {

struct Config;
class Pacer;

// How long the site's report may take at the end of a run, all told.
inline constexpr std::chrono::seconds kReportBudget{15};

struct UpdateRequest {
    UpdateMode mode = UpdateMode::Operator;
    // What the start-up sweep could not close: while one of them runs the
    // installed dolvo.exe (that file, not its name), the program is neither
    // downloaded nor replaced.
    std::span<const LeftRunning> leftRunning{};
    // A nightly run closes the products' programs itself, and only once it
    // has decided that a release will be installed or put back: a night with
    // nothing to install leaves the shop's programs alone. Returns what it
    // could not close. None: nothing is closed here (the window swept at its
    // start; --check closes nothing).
    std::function<std::vector<LeftRunning>()> closePrograms{};
    // The clock, and with it retries: a failure that may pass
    // (mayPassIfTriedAgain) is tried again up to `config.retries` times, the
    // k-th time (from 0) after a random wait up to retryBase * 2^k, at most
    // retryMax, each from a new session; a stop asked for during a wait ends
    // the command as interrupted. None: the system's clock, one attempt, as
    // at the window, where the operator is there to try again.
    Pacer* pacer = nullptr;
    // The site's report of the run (SiteReporting.h), as which command:
    // "update", "check", "window"; empty, none. It goes over the run's own
    // session, held open for it, unless the configuration turns it off.
    std::string_view reportAs{};
};

// Replaces the installed dolvo.exe of `site` with the release the server
// offers, keeping the replaced one as dolvo.exe.prev.
//
// Where the server offers the maker's index (ReleaseIndex.h), it is read
// first: with a public key in `config` it must be the maker's and no older
// than the newest this site has seen; the release it names comes from its
// own file, checked against the index's size and hash (and with a key, its
// own signature). The index's plan says when this site takes it (Stages.h);
// a paused plan stops new installs; a release the maker withdrew goes back
// to the index's current one, from dolvo.exe.prev when that is it.
//
// Without an index, dolvo.exe: with a key, its dolvo.exe.minisig is fetched
// first, and the program only when the key signed it. What is taken is
// decided before anything is downloaded (Decide.h); the installed release
// again downloads nothing.
//
// Runs the whole command on the caller's thread. The command's status
// lines, its cause and release also go to the run's log file (RunLog.h).
UpdateReport UpdateCommand(UpdateUi& ui, platform::FtpClient& ftp, InstallSite& site, const Config& config,
                           const UpdateRequest& request = {});

// The same, on the installation below `config.root`.
UpdateReport UpdateCommand(UpdateUi& ui, platform::FtpClient& ftp, const Config& config,
                           const UpdateRequest& request = {});

}  // namespace adv
