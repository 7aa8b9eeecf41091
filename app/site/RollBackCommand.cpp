#include "app/site/RollBackCommand.h"

#include "app/core/Config.h"
#include "app/core/RunLog.h"
#include "app/site/StartupSweep.h"
#include "app/site/UpdateTexts.h"

using namespace Qt::StringLiterals;

namespace adv {
namespace {

UpdateReport rollBack(UpdateUi& ui, InstallSite& site, const Config& config, std::span<const LeftRunning> leftRunning)
{
    PointerGuard pointer(ui);
    if (const auto running = runningInstalledProgram(site, leftRunning); !running.empty())
        return ended(ui, UpdateOutcome::ProgramRunning, text::kProgramRunning, notClosedLines(running).join(u"; "_s));
    Installation installation = openInstallation(site, config, true);
    if (!installation.replacement && installation.locked)
        return ended(ui, UpdateOutcome::NotInstalled, text::kNotInstalled, text::notInstalledCause(config.root));
    if (installation.locked.status == install::ReplaceStatus::Busy)
        return ended(ui, UpdateOutcome::AnotherUpdate, text::kAnotherUpdate);
    if (installation.locked.status == install::ReplaceStatus::Damaged)
        return ended(ui, UpdateOutcome::RecordDamaged, text::kRecordDamaged, text::replaceCause(installation.locked));
    if (!installation.locked)
        return ended(ui, UpdateOutcome::RollBackFailed, text::kRollBackFailed, text::replaceCause(installation.locked));

    const install::ReplaceResult swapped = installation.replacement->rollBack();
    if (swapped.status == install::ReplaceStatus::NothingKept)
        return ended(ui, UpdateOutcome::NothingKept, text::kNothingKept);
    if (!swapped)
        return ended(ui, UpdateOutcome::RollBackFailed, text::kRollBackFailed, text::replaceCause(swapped));
    return ended(ui, UpdateOutcome::RolledBack, text::kRolledBack,
                 swapped.detail.empty() ? Cause()
                                        : text::because(u"ripristinato, ma non tutto è in ordine"_s, swapped.detail));
}

}  // namespace

UpdateReport RollBackCommand(UpdateUi& ui, InstallSite& site, const Config& config,
                             std::span<const LeftRunning> leftRunning)
{
    runlog::LoggedUi logged(ui);
    return loggedEnd(rollBack(logged, site, config, leftRunning));
}

}  // namespace adv
