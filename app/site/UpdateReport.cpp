#include "app/site/UpdateReport.h"

#include "app/core/RunLog.h"

using namespace Qt::StringLiterals;

namespace adv {

UpdateReport loggedEnd(UpdateReport report)
{
    if (!report.cause.isEmpty())
        runlog::write(u"Causa: "_s + report.cause.logged());
    if (!report.release.isEmpty())
        runlog::write(u"Installata: "_s + report.release);
    return report;
}

}  // namespace adv
