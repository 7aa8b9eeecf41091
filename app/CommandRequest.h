// What the command line asks for, read without running anything: a job and
// what it needs, or the text and status the run ends with already.
#pragma once

#include <QString>

#include <optional>

#include "app/maker/FleetCommand.h"
#include "app/maker/PublishCommand.h"

namespace adv {

enum class Job { Window, Sweep, Update, RollBack, Check, Publish, Unlock, Fleet };

struct CommandRequest {
    Job job = Job::Window;
    QString configFile;      // --config's value; empty: the usual places
    QString command;         // the run's kind, as the log names it: "--status", "finestra"
    PublishRequest publish;  // for Job::Publish
    FleetRequest fleet;      // for Job::Fleet
    // Set when the command line alone ends the run: --help, --version, or a
    // mistake in it.
    std::optional<int> ended;
    QString output;      // for stdout: the help or the version
    QString mistake;     // for the operator on stderr; empty: none
    bool usage = false;  // the usage lines follow the mistake
};

// `arguments` without the program's name. The texts are Italian; Qt's own,
// English, never reach the operator.
CommandRequest readCommandRequest(const QStringList& arguments);

// Every command on one line each, as the help lists them.
QString usageLines();

}  // namespace adv
