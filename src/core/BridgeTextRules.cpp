#include "BridgeTextRules.h"

#include <QUrl>

#include <limits>

using namespace Qt::StringLiterals;

namespace {

bool isAsciiDigit(QChar c)
{
    return c >= u'0' && c <= u'9';
}

} // namespace

int compareNumerically(QStringView left, QStringView right)
{
    const auto digitRun = [](QStringView text, qsizetype from) {
        qsizetype end = from;
        while (end < text.size() && isAsciiDigit(text[end]))
            ++end;
        return end;
    };
    const auto withoutLeadingZeros = [](QStringView run) {
        while (!run.isEmpty() && run.front() == u'0')
            run = run.sliced(1);
        return run;
    };
    qsizetype i = 0, j = 0;
    while (i < left.size() && j < right.size()) {
        if (isAsciiDigit(left[i]) && isAsciiDigit(right[j])) {
            const qsizetype leftEnd = digitRun(left, i), rightEnd = digitRun(right, j);
            const QStringView a = withoutLeadingZeros(left.sliced(i, leftEnd - i));
            const QStringView b = withoutLeadingZeros(right.sliced(j, rightEnd - j));
            // Equal-length runs of digits order like their values; a longer run is larger.
            if (a.size() != b.size())
                return a.size() < b.size() ? -1 : 1;
            if (const int c = a.compare(b))
                return c < 0 ? -1 : 1;
            i = leftEnd;
            j = rightEnd;
            continue;
        }
        if (left[i] != right[j])
            return left[i].unicode() < right[j].unicode() ? -1 : 1;
        ++i;
        ++j;
    }
    if (i < left.size())
        return 1;
    if (j < right.size())
        return -1;
    return 0;
}

std::optional<QString> nonEmptyTrimmed(QStringView text)
{
    const QStringView trimmed = text.trimmed();
    if (trimmed.isEmpty())
        return std::nullopt;
    return trimmed.toString();
}

std::optional<QDateTime> parseBridgeTimestamp(QStringView text)
{
    qsizetype pos = 0;
    const auto number = [&](qsizetype digits) -> std::optional<int> {
        if (pos + digits > text.size())
            return std::nullopt;
        int value = 0;
        for (qsizetype k = 0; k < digits; ++k) {
            const QChar c = text[pos + k];
            if (!isAsciiDigit(c))
                return std::nullopt;
            value = value * 10 + (c.unicode() - u'0');
        }
        pos += digits;
        return value;
    };
    const auto literal = [&](char16_t expected) {
        if (pos >= text.size() || text[pos] != expected)
            return false;
        ++pos;
        return true;
    };

    const auto year = number(4);
    if (!year || !literal(u'-'))
        return std::nullopt;
    const auto month = number(2);
    if (!month || !literal(u'-'))
        return std::nullopt;
    const auto day = number(2);
    if (!day || !literal(u'T'))
        return std::nullopt;
    const auto hour = number(2);
    if (!hour || !literal(u':'))
        return std::nullopt;
    const auto minute = number(2);
    if (!minute || !literal(u':'))
        return std::nullopt;
    const auto second = number(2);
    if (!second || !literal(u'.'))
        return std::nullopt;

    // Up to nine fraction digits are read; milliseconds keep the first three.
    int millisecond = 0;
    qsizetype fractionDigits = 0;
    while (pos < text.size() && isAsciiDigit(text[pos])) {
        if (fractionDigits < 3)
            millisecond = millisecond * 10 + (text[pos].unicode() - u'0');
        ++fractionDigits;
        ++pos;
    }
    if (fractionDigits == 0 || fractionDigits > 9)
        return std::nullopt;
    for (qsizetype k = fractionDigits; k < 3; ++k)
        millisecond *= 10;

    int offsetSeconds = 0;
    if (!literal(u'Z')) {
        if (pos >= text.size() || (text[pos] != u'+' && text[pos] != u'-'))
            return std::nullopt;
        const int sign = text[pos] == u'-' ? -1 : 1;
        ++pos;
        const auto zoneHours = number(2);
        if (!zoneHours || !literal(u':'))
            return std::nullopt;
        const auto zoneMinutes = number(2);
        if (!zoneMinutes || *zoneHours > 23 || *zoneMinutes > 59)
            return std::nullopt;
        offsetSeconds = sign * (*zoneHours * 3600 + *zoneMinutes * 60);
    }
    if (pos != text.size())
        return std::nullopt;

    const QDate date(*year, *month, *day);
    if (!date.isValid() || *year == 0 || *hour > 23 || *minute > 59 || *second > 59)
        return std::nullopt;
    const QDateTime local(date, QTime(*hour, *minute, *second, millisecond), Qt::OffsetFromUTC,
                          offsetSeconds);
    if (!local.isValid())
        return std::nullopt;
    return local.toUTC();
}

namespace {

bool isUriCharacter(QChar c)
{
    if (c.unicode() >= 0x80)
        return false;
    if (c.isLetterOrNumber())
        return true;
    return u"-._~:/?#[]@!$&'()*+,;=%"_s.contains(c);
}

bool isHexDigit(QChar c)
{
    return isAsciiDigit(c) || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F');
}

bool isValidScheme(QStringView scheme)
{
    if (scheme.isEmpty() || !scheme.front().isLetter())
        return false;
    for (QChar c : scheme) {
        if (!c.isLetterOrNumber() && c != u'+' && c != u'-' && c != u'.')
            return false;
    }
    return true;
}

struct UriHost
{
    bool parsed = false;
    std::optional<QString> host;
};

// Splits an RFC 3986 URI reference far enough to find its host. `parsed` is false for text that
// is not a URI reference at all.
UriHost uriHost(QStringView text)
{
    for (qsizetype k = 0; k < text.size(); ++k) {
        if (!isUriCharacter(text[k]))
            return {};
        if (text[k] == u'%'
            && (k + 2 >= text.size() || !isHexDigit(text[k + 1]) || !isHexDigit(text[k + 2])))
            return {};
    }
    if (text.count(u'#') > 1)
        return {};

    QStringView rest = text;
    const qsizetype firstDelimiter = [&] {
        for (qsizetype k = 0; k < text.size(); ++k) {
            if (text[k] == u':' || text[k] == u'/' || text[k] == u'?' || text[k] == u'#')
                return k;
        }
        return text.size();
    }();
    if (firstDelimiter < text.size() && text[firstDelimiter] == u':') {
        // Either a scheme, or a relative reference whose first segment holds a colon, which
        // RFC 3986 does not allow.
        if (!isValidScheme(text.first(firstDelimiter)))
            return {};
        rest = text.sliced(firstDelimiter + 1);
    }
    if (!rest.startsWith(u"//"))
        return {true, std::nullopt};
    rest = rest.sliced(2);
    qsizetype authorityEnd = 0;
    while (authorityEnd < rest.size() && rest[authorityEnd] != u'/' && rest[authorityEnd] != u'?'
           && rest[authorityEnd] != u'#')
        ++authorityEnd;
    QStringView authority = rest.first(authorityEnd);
    const QStringView afterAuthority = rest.sliced(authorityEnd);
    if (afterAuthority.contains(u'[') || afterAuthority.contains(u']'))
        return {};

    if (const qsizetype at = authority.lastIndexOf(u'@'); at >= 0) {
        if (authority.first(at).contains(u'@') || authority.first(at).contains(u'[')
            || authority.first(at).contains(u']'))
            return {};
        authority = authority.sliced(at + 1);
    }
    QStringView host;
    QStringView port;
    if (authority.startsWith(u'[')) {
        const qsizetype close = authority.indexOf(u']');
        if (close < 0)
            return {};
        host = authority.sliced(1, close - 1);
        for (QChar c : host) {
            if (!isHexDigit(c) && c != u':' && c != u'.')
                return {};
        }
        const QStringView after = authority.sliced(close + 1);
        if (!after.isEmpty() && !after.startsWith(u':'))
            return {};
        port = after.isEmpty() ? QStringView() : after.sliced(1);
    } else {
        if (authority.contains(u'[') || authority.contains(u']'))
            return {};
        const qsizetype colon = authority.indexOf(u':');
        host = colon < 0 ? authority : authority.first(colon);
        port = colon < 0 ? QStringView() : authority.sliced(colon + 1);
    }
    for (QChar c : port) {
        if (!isAsciiDigit(c))
            return {};
    }
    return {true, QUrl::fromPercentEncoding(host.toUtf8())};
}

} // namespace

QString classifyRelay(QStringView relay)
{
    const UriHost parsed = uriHost(relay);
    if (!parsed.parsed || !parsed.host)
        return u"Unconfigured"_s;
    const QString host = parsed.host->toLower();
    if (host.isEmpty())
        return u"Unconfigured"_s;
    const bool local = host == "localhost"_L1 || host == "127.0.0.1"_L1 || host == "::1"_L1
        || host.endsWith(".local"_L1) || host.startsWith("10."_L1) || host.startsWith("192.168."_L1)
        || isPrivate172Address(host);
    return local ? u"Local"_s : u"Remote"_s;
}

std::optional<qint64> parseDecimalInteger(QStringView text)
{
    qsizetype pos = 0;
    bool negative = false;
    if (pos < text.size() && (text[pos] == u'+' || text[pos] == u'-')) {
        negative = text[pos] == u'-';
        ++pos;
    }
    if (pos == text.size())
        return std::nullopt;
    // Accumulate toward the negative side so that the most negative value fits too.
    qint64 value = 0;
    for (; pos < text.size(); ++pos) {
        if (!isAsciiDigit(text[pos]))
            return std::nullopt;
        const int digit = text[pos].unicode() - u'0';
        if (value < (std::numeric_limits<qint64>::min() + digit) / 10)
            return std::nullopt;
        value = value * 10 - digit;
    }
    if (!negative) {
        if (value == std::numeric_limits<qint64>::min())
            return std::nullopt;
        value = -value;
    }
    return value;
}

bool isPrivate172Address(QStringView host)
{
    const auto pieces = host.split(u'.', Qt::SkipEmptyParts);
    if (pieces.size() != 4 || pieces[0] != u"172")
        return false;
    const auto second = parseDecimalInteger(pieces[1]);
    return second && *second >= 16 && *second <= 31;
}
