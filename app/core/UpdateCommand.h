// The update command: replace the installed dolvo.exe with the server's copy.
#pragma once

#include <span>

#include "app/core/ExitStatus.h"
#include "app/core/Installation.h"
#include "app/core/UpdateUi.h"
#include "platform/FtpClient.h"
#include "process/DoroDave.h"

namespace adv {

struct Config;
class Pacer;

// The FTP session an update of `config` needs. The signature vouches for the
// whole file where the size cannot, and it alone tells a finished upload
// from one still under way; without it the server is asked about the file
// again no sooner than 1.5 s after it was first asked, long enough for an
// upload to show, even in MDTM's seconds.
platform::FtpOptions downloadOptions(const Config& config);

// Replaces the installed dolvo.exe of `site` with the server's, keeping the
// replaced one as dolvo.exe.prev. With a public key in `config`, the
// server's dolvo.exe.minisig is fetched first, and the program only when
// the key signed it, for a release the release gate takes (ReleaseGate.h);
// the installed release again downloads nothing.
//
// The command's status lines, its cause and release also go to the run's
// log file (RunLog.h).
//
// Runs the whole command on the caller's thread. With `confirmed` the
// question is not asked (the command line's --update is the confirmation).
// `leftRunning` is what the start-up sweep could not close: while one of
// them runs the installed dolvo.exe (that file, not its name), the program
// is neither downloaded nor replaced.
//
// Without a pacer it is one attempt, as the window's DOWNLOAD is: the
// operator is there to try again. With one, a failure that may pass
// (mayPassIfTriedAgain) is tried again up to `config.retries` times, the
// k-th time (from 0) after a random wait up to retryBase * 2^k, at most
// retryMax, each from a new session; a stop asked for during a wait ends
// the command as interrupted.
UpdateReport UpdateCommand(UpdateUi& ui, platform::FtpClient& ftp, InstallSite& site, const Config& config,
                           bool confirmed = false, std::span<const LeftRunning> leftRunning = {});
UpdateReport UpdateCommand(UpdateUi& ui, platform::FtpClient& ftp, InstallSite& site, const Config& config,
                           bool confirmed, std::span<const LeftRunning> leftRunning, Pacer& pacer);

// The same, on the installation below `config.root`.
UpdateReport UpdateCommand(UpdateUi& ui, platform::FtpClient& ftp, const Config& config, bool confirmed = false,
                           std::span<const LeftRunning> leftRunning = {});
UpdateReport UpdateCommand(UpdateUi& ui, platform::FtpClient& ftp, const Config& config, bool confirmed,
                           std::span<const LeftRunning> leftRunning, Pacer& pacer);

}  // namespace adv
