// Dolvo's installation, as the update and roll-back commands find it: the
// seam between the commands and this machine's files and processes, passed
// in as the FTP session is.
#pragma once

#include <filesystem>
#include <memory>
#include <span>
#include <vector>

#include "install/FileReplacement.h"
#include "process/DoroDave.h"

namespace adv {

struct Config;

class InstallSite {
public:
    virtual ~InstallSite() = default;
    // The installed program's transaction, opened, not locked; with
    // `orOnlyPrevious` also where only the program it replaced is left.
    // None when it is not installed, or (with why it failed) cannot be opened.
    virtual install::Opened open(bool orOnlyPrevious) = 0;
    // Of `pids`, those that run the installed program's file.
    virtual std::vector<long> runningTheProgram(std::span<const long> pids) = 0;
    // Every program under the updated product's names that runs the
    // installed file now, or with `replaced` the one an update just kept as
    // the previous program: one restarted after the sweep would go on
    // running the replaced file.
    virtual std::vector<LeftRunning> runningTheProgramNow(bool replaced) = 0;
};

// The installation below `root`, on this machine.
std::unique_ptr<InstallSite> installSiteBelow(const std::filesystem::path& root);

// The installation opened and locked once: what is checked is what gets
// replaced, whatever happens to its path meanwhile, and no other updater
// moves its release floor.
struct Installation {
    std::unique_ptr<install::FileReplacement> replacement;  // none: not installed
    install::ReplaceResult locked;
};

// With a key, the floor an earlier release of this updater kept beside the
// program is raised into the record. With `look`, neither locked nor
// written: the record is only read (--check).
Installation openInstallation(InstallSite& site, const Config& config, bool orOnlyPrevious, bool look = false);

// The installed file known by its hash where the record no longer describes
// it (a copy put back from a backup, a move to a new disk): a withdrawal of
// its release, or the release already installed, is seen all the same.
void identifyInstalled(install::FileReplacement& replacement);

// Those left running by the sweep that run the installed program, that very
// file: anyone may give a program its name, and only what runs the file
// keeps it from being replaced.
std::vector<LeftRunning> runningInstalledProgram(InstallSite& site, std::span<const LeftRunning> leftRunning);

}  // namespace adv
