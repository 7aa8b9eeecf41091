// The pace of a nightly --update: a random wait before it starts, more
// attempts after a failure that may pass, and the operators' working hours.
// The clock, the random draws and the waits come through a Pacer, so that
// the policy is tested without waiting.
#pragma once

#include <QString>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>

#include "app/core/Config.h"
#include "app/core/UpdateUi.h"
#include "app/site/UpdateReport.h"
#include "platform/FtpClient.h"

namespace adv {

class Pacer {
public:
    virtual ~Pacer() = default;
    // This machine's clock, seconds since 1970.
    virtual std::int64_t now() = 0;
    // The minute of the day `at` falls on, by this machine's local time.
    virtual int minuteOfDay(std::int64_t at) = 0;
    // A uniformly random whole number of seconds in [0, upTo].
    virtual std::chrono::seconds random(std::chrono::seconds upTo) = 0;
    // Waits `span`, asking `stopRequested` often; false when it was asked to stop.
    virtual bool wait(std::chrono::seconds span, const std::function<bool()>& stopRequested) = 0;
};

// The real clock, the system's random source, real waits.
std::unique_ptr<Pacer> systemPacer();

// Whether a failure of the FTP session may pass if tried again later: a
// connection refused or timed out, a 4xx reply (421 above all), a dropped
// data connection. Never a refused login, nor anything the maker's release
// or this site's files decided.
bool mayPassIfTriedAgain(const platform::FtpResult& why);

// The longest random wait before retry `k` (from 0): retryBase * 2^k, at
// most retryMax.
std::chrono::seconds retryWaitBound(const Config& config, int k);

// `attempt` (asking first with `ask`), and with a pacer, again after a
// failure that may pass, up to `config.retries` times: the k-th time (from
// 0) after `newSession` and a random wait up to retryWaitBound(config, k),
// unless that would close in on the working hours. A stop asked for during
// a wait ends it as interrupted. Said on `ui` as the run's status lines.
UpdateReport retried(UpdateUi& ui, const Config& config, Pacer* pacer, bool ask,
                     const std::function<UpdateReport(bool ask)>& attempt, const std::function<void()>& newSession);

// Whether `minute` (of the day) falls inside `hours`.
bool withinWorkingHours(const WorkingHours& hours, int minute);

}  // namespace adv
