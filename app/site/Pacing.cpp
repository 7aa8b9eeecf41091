#include "app/site/Pacing.h"

#include <QDateTime>
#include <QTime>

#include <sodium.h>

#include <algorithm>
#include <thread>

#include "app/site/UpdateTexts.h"

namespace adv {
namespace {

class SystemPacer final : public Pacer {
public:
    std::int64_t now() override { return QDateTime::currentSecsSinceEpoch(); }

    int minuteOfDay(std::int64_t at) override
    {
        const QTime time = QDateTime::fromSecsSinceEpoch(at).time();
        return time.hour() * 60 + time.minute();
    }

    std::chrono::seconds random(std::chrono::seconds upTo) override
    {
        if (upTo <= std::chrono::seconds::zero())
            return std::chrono::seconds::zero();
        // randombytes_uniform draws below a 32-bit bound; the configuration
        // never asks for more than a day, far inside it.
        const auto bound = static_cast<std::uint32_t>(std::min<std::int64_t>(upTo.count(), UINT32_MAX - 1) + 1);
        return std::chrono::seconds(randombytes_uniform(bound));
    }

    bool wait(std::chrono::seconds span, const std::function<bool()>& stopRequested) override
    {
        // One deadline, however long each slice really took: a busy machine
        // makes the slices late, never the wait longer.
        using Clock = std::chrono::steady_clock;
        const Clock::time_point deadline = Clock::now() + span;
        constexpr auto kSlice = std::chrono::milliseconds(100);
        for (;;) {
            if (stopRequested && stopRequested())
                return false;
            const Clock::time_point now = Clock::now();
            if (now >= deadline)
                return true;
            std::this_thread::sleep_for(std::min<Clock::duration>(kSlice, deadline - now));
        }
    }
};

}  // namespace

std::unique_ptr<Pacer> systemPacer()
{
    // libsodium picks its random source once; randombytes_uniform is safe
    // from any thread after that.
    static const int once = sodium_init();
    (void)once;
    return std::make_unique<SystemPacer>();
}

bool mayPassIfTriedAgain(const platform::FtpResult& why)
{
    using platform::FtpFailure;
    switch (why.failure) {
    case FtpFailure::Connection:
    case FtpFailure::Folder:
    case FtpFailure::DataTlsRefused:
    case FtpFailure::Transfer: break;
    // Fetched again from its start, the file may well come.
    case FtpFailure::Resume: return true;
    // This site's own settings and files, a stop asked for, and what the
    // server holds (a missing file, a size beyond the limits) stay as they
    // are however often they are asked again.
    case FtpFailure::None:
    case FtpFailure::Setting:
    case FtpFailure::RemoteFile:
    case FtpFailure::Size:
    case FtpFailure::Sink:
    case FtpFailure::Refused:
    case FtpFailure::Mismatch:
    case FtpFailure::Interrupted:
    case FtpFailure::TlsRefused:
    case FtpFailure::Untrusted: return false;
    }
    // The server's own word decides when it gave one: 5xx is lasting (530 a
    // refused login, 550 a missing folder), 4xx is not (421 too many
    // sessions or closing, 425/426 the data connection, 45x a local error).
    if (why.reply >= 500 && why.reply < 600)
        return false;
    if (why.reply >= 400 && why.reply < 500)
        return true;
    // Without one: a connection refused, timed out or dropped may come back.
    return true;
}

std::chrono::seconds retryWaitBound(const Config& config, int k)
{
    // retry is at most 10 and retry_base_s at most an hour: no overflow.
    const std::chrono::seconds doubled = config.retryBase * (std::int64_t{1} << std::clamp(k, 0, 30));
    return std::min(doubled, config.retryMax);
}

bool withinWorkingHours(const WorkingHours& hours, int minute)
{
    if (hours.from <= hours.to)
        return minute >= hours.from && minute < hours.to;
    return minute >= hours.from || minute < hours.to;
}

UpdateReport retried(UpdateUi& ui, const Config& config, Pacer* pacer, bool ask,
                     const std::function<UpdateReport(bool ask)>& attempt, const std::function<void()>& newSession)
{
    UpdateReport report = attempt(ask);
    for (int k = 0; pacer && report.mayPass && k < config.retries; ++k) {
        // A retry never closes in on the operators' working hours.
        const std::int64_t next = pacer->now() + retryWaitBound(config, k).count();
        if (config.workingHours && withinWorkingHours(*config.workingHours, pacer->minuteOfDay(next))) {
            ui.AppendStatus(text::workingHoursNow(*config.workingHours));
            break;
        }
        newSession();
        const std::chrono::seconds wait = pacer->random(retryWaitBound(config, k));
        ui.AppendStatus(text::retryIn(wait, k + 1, config.retries));
        if (!pacer->wait(wait, [&ui] { return ui.stopRequested(); }))
            return ended(ui, UpdateOutcome::Interrupted, text::kInterrupted);
        // The operator's Yes, if it was asked, holds for every attempt.
        report = attempt(false);
    }
    return report;
}

}  // namespace adv
