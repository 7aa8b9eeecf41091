// Dates and waits as the operator reads them, in Italian.
#pragma once

#include <QString>

#include <chrono>
#include <cstdint>

namespace adv::text {

// A date as the operator reads it, in Italian ("8 dicembre 2026, 17:04",
// "1º gennaio ..."), and the same after "il" or "dal", as Italian writes
// them: "l'8 dicembre", "il 1º gennaio", "dall'11 marzo".
QString shownDate(std::int64_t secondsSince1970);
QString onDate(std::int64_t secondsSince1970);
QString fromDate(std::int64_t secondsSince1970);
QString untilDate(std::int64_t secondsSince1970);  // "al 1º gennaio", "all'8 dicembre"

// A wait as the operator reads it: "45 s", "13 min 20 s", "1 h 0 min 5 s".
QString shownSpan(std::chrono::seconds span);

}  // namespace adv::text
