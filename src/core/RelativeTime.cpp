#include "RelativeTime.h"

#include <unicode/locid.h>
#include <unicode/reldatefmt.h>

#include <cmath>
#include <memory>

namespace {

// NSRelativeDateTimeFormatter's choice of unit: the largest one that the interval fills at
// least once, counted toward zero.
std::pair<double, URelativeDateTimeUnit> relativeOffset(qint64 milliseconds)
{
    const double seconds = double(milliseconds) / 1000.0;
    const double magnitude = std::fabs(seconds);
    constexpr double minute = 60, hour = 3600, day = 86400;
    const auto count = [seconds](double unit) {
        return std::trunc(seconds / unit);
    };
    if (magnitude < minute)
        return {count(1), UDAT_REL_UNIT_SECOND};
    if (magnitude < hour)
        return {count(minute), UDAT_REL_UNIT_MINUTE};
    if (magnitude < day)
        return {count(hour), UDAT_REL_UNIT_HOUR};
    if (magnitude < 7 * day)
        return {count(day), UDAT_REL_UNIT_DAY};
    if (magnitude < 30 * day)
        return {count(7 * day), UDAT_REL_UNIT_WEEK};
    if (magnitude < 365 * day)
        return {count(30 * day), UDAT_REL_UNIT_MONTH};
    return {count(365 * day), UDAT_REL_UNIT_YEAR};
}

} // namespace

QString relativeTimePhrase(const QDateTime &instant, const QDateTime &now)
{
    // Created once, on first use, in the user's locale; used from the main thread only.
    static const std::unique_ptr<icu::RelativeDateTimeFormatter> formatter = [] {
        UErrorCode status = U_ZERO_ERROR;
        auto made = std::make_unique<icu::RelativeDateTimeFormatter>(
            icu::Locale::getDefault(), nullptr, UDAT_STYLE_SHORT, UDISPCTX_CAPITALIZATION_NONE,
            status);
        return U_SUCCESS(status) ? std::move(made) : nullptr;
    }();
    const auto [offset, unit] = relativeOffset(now.msecsTo(instant));
    icu::UnicodeString phrase;
    UErrorCode status = U_ZERO_ERROR;
    if (formatter)
        formatter->formatNumeric(offset, unit, phrase, status);
    if (!formatter || U_FAILURE(status))
        return instant.toLocalTime().toString(Qt::ISODate);
    return QString(reinterpret_cast<const QChar *>(phrase.getBuffer()), phrase.length());
}
