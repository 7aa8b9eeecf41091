// The statuses the program exits with, for scripts that run it.
#pragma once

namespace adv {

enum class ExitStatus : int {
    Updated = 0,    // also: the window closed, --sweep and --help done
    Cancelled = 1,  // the operator answered No
    ConnectFailed = 2,
    FolderMissing = 3,
    NotInstalled = 4,
    DownloadFailed = 5,   // or interrupted; the installed file is as it was
    NotAuthentic = 6,     // the download is not the maker's signed file
    OlderRelease = 7,     // the server offers a release older than the installed one
    NothingKept = 8,      // --rollback found no previous program
    FutureRelease = 9,    // the server offers a release signed more than a day ahead of this machine's clock
    RecordDamaged = 10,   // the installation's release record is damaged; nothing was touched
    ProgramRunning = 11,  // a dolvo.exe that could not be closed is running; nothing was downloaded or touched
    Usage = 64,           // the command line is wrong
    NoDisplay = 69,       // no screen to open the window on
    Config = 78,          // the configuration cannot be used; nothing was closed
};

constexpr int code(ExitStatus status)
{
    return static_cast<int>(status);
}

}  // namespace adv
