#include "BridgeControlModels.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QStringDecoder>
#include <QUrl>

#include <unicode/locid.h>
#include <unicode/reldatefmt.h>

#include <cmath>
#include <limits>
#include <memory>

using namespace Qt::StringLiterals;

namespace {

// Thrown inside the readers only; every public decoder turns it into an absent record.
struct DecodeFailure
{
};

QString readText(const QJsonValue &value)
{
    if (!value.isString())
        throw DecodeFailure{};
    return value.toString();
}

bool readBool(const QJsonValue &value)
{
    if (!value.isBool())
        throw DecodeFailure{};
    return value.toBool();
}

qint64 readInteger(const QJsonValue &value)
{
    // Qt keeps numbers that are whole and fit 64 bits as integers; fractions and larger values
    // stay doubles and must not be rounded into a member.
    const QVariant number = value.toVariant();
    if (number.typeId() != QMetaType::LongLong)
        throw DecodeFailure{};
    return number.toLongLong();
}

template <typename Record>
Record readRecord(const QJsonValue &value)
{
    auto record = Record::fromJson(value);
    if (!record)
        throw DecodeFailure{};
    return *record;
}

QJsonObject readObject(const QJsonValue &value)
{
    if (!value.isObject())
        throw DecodeFailure{};
    return value.toObject();
}

template <typename Read>
auto required(const QJsonObject &object, QLatin1StringView key, Read read)
{
    const QJsonValue value = object.value(key);
    if (value.isUndefined() || value.isNull())
        throw DecodeFailure{};
    return read(value);
}

template <typename Read>
auto optional(const QJsonObject &object, QLatin1StringView key, Read read)
    -> std::optional<decltype(read(QJsonValue()))>
{
    const QJsonValue value = object.value(key);
    if (value.isUndefined() || value.isNull())
        return std::nullopt;
    return read(value);
}

template <typename Record, typename Build>
std::optional<Record> decodeWith(const QJsonValue &value, Build build)
{
    try {
        return build(readObject(value));
    } catch (const DecodeFailure &) {
        return std::nullopt;
    }
}

template <typename T>
void insertIfPresent(QJsonObject &object, QLatin1StringView key, const std::optional<T> &member)
{
    if (!member)
        return;
    if constexpr (requires { member->toJson(); })
        object.insert(key, member->toJson());
    else
        object.insert(key, *member);
}

bool isAsciiDigit(QChar c)
{
    return c >= u'0' && c <= u'9';
}

} // namespace

std::optional<BridgePairingPayload> BridgePairingPayload::fromJson(const QJsonValue &value)
{
    return decodeWith<BridgePairingPayload>(value, [](const QJsonObject &o) {
        return BridgePairingPayload{
            .v = required(o, "v"_L1, readInteger),
            .relay = required(o, "relay"_L1, readText),
            .sessionId = required(o, "sessionId"_L1, readText),
            .macDeviceId = required(o, "macDeviceId"_L1, readText),
            .macIdentityPublicKey = required(o, "macIdentityPublicKey"_L1, readText),
            .expiresAt = required(o, "expiresAt"_L1, readInteger),
        };
    });
}

QJsonObject BridgePairingPayload::toJson() const
{
    return {{"v"_L1, v},
            {"relay"_L1, relay},
            {"sessionId"_L1, sessionId},
            {"macDeviceId"_L1, macDeviceId},
            {"macIdentityPublicKey"_L1, macIdentityPublicKey},
            {"expiresAt"_L1, expiresAt}};
}

bool BridgePairingPayload::isLive(const QDateTime &now) const
{
    return double(expiresAt) / 1000.0 > double(now.toMSecsSinceEpoch()) / 1000.0;
}

std::optional<BridgeDaemonConfig> BridgeDaemonConfig::fromJson(const QJsonValue &value)
{
    return decodeWith<BridgeDaemonConfig>(value, [](const QJsonObject &o) {
        return BridgeDaemonConfig{
            .relayUrl = optional(o, "relayUrl"_L1, readText),
            .pushServiceUrl = optional(o, "pushServiceUrl"_L1, readText),
            .codexEndpoint = optional(o, "codexEndpoint"_L1, readText),
            .refreshEnabled = optional(o, "refreshEnabled"_L1, readBool),
        };
    });
}

QJsonObject BridgeDaemonConfig::toJson() const
{
    QJsonObject object;
    insertIfPresent(object, "relayUrl"_L1, relayUrl);
    insertIfPresent(object, "pushServiceUrl"_L1, pushServiceUrl);
    insertIfPresent(object, "codexEndpoint"_L1, codexEndpoint);
    insertIfPresent(object, "refreshEnabled"_L1, refreshEnabled);
    return object;
}

std::optional<BridgeRuntimeStatus> BridgeRuntimeStatus::fromJson(const QJsonValue &value)
{
    return decodeWith<BridgeRuntimeStatus>(value, [](const QJsonObject &o) {
        return BridgeRuntimeStatus{
            .state = optional(o, "state"_L1, readText),
            .connectionStatus = optional(o, "connectionStatus"_L1, readText),
            .pid = optional(o, "pid"_L1, readInteger),
            .lastError = optional(o, "lastError"_L1, readText),
            .updatedAt = optional(o, "updatedAt"_L1, readText),
        };
    });
}

QJsonObject BridgeRuntimeStatus::toJson() const
{
    QJsonObject object;
    insertIfPresent(object, "state"_L1, state);
    insertIfPresent(object, "connectionStatus"_L1, connectionStatus);
    insertIfPresent(object, "pid"_L1, pid);
    insertIfPresent(object, "lastError"_L1, lastError);
    insertIfPresent(object, "updatedAt"_L1, updatedAt);
    return object;
}

bool BridgeRuntimeStatus::isConnected() const
{
    return connectionStatus && connectionStatus->toLower() == "connected"_L1;
}

std::optional<BridgePairingSession> BridgePairingSession::fromJson(const QJsonValue &value)
{
    return decodeWith<BridgePairingSession>(value, [](const QJsonObject &o) {
        return BridgePairingSession{
            .createdAt = optional(o, "createdAt"_L1, readText),
            .pairingPayload = optional(o, "pairingPayload"_L1, readRecord<BridgePairingPayload>),
        };
    });
}

QJsonObject BridgePairingSession::toJson() const
{
    QJsonObject object;
    insertIfPresent(object, "createdAt"_L1, createdAt);
    insertIfPresent(object, "pairingPayload"_L1, pairingPayload);
    return object;
}

std::optional<QDateTime> BridgePairingSession::createdDate() const
{
    if (!createdAt)
        return std::nullopt;
    return parseBridgeTimestamp(*createdAt);
}

std::optional<BridgeSnapshot> BridgeSnapshot::fromJson(const QJsonValue &value)
{
    return decodeWith<BridgeSnapshot>(value, [](const QJsonObject &o) {
        return BridgeSnapshot{
            .currentVersion = required(o, "currentVersion"_L1, readText),
            .label = required(o, "label"_L1, readText),
            .platform = required(o, "platform"_L1, readText),
            .installed = required(o, "installed"_L1, readBool),
            .launchdLoaded = required(o, "launchdLoaded"_L1, readBool),
            .launchdPid = optional(o, "launchdPid"_L1, readInteger),
            .daemonConfig = optional(o, "daemonConfig"_L1, readRecord<BridgeDaemonConfig>),
            .bridgeStatus = optional(o, "bridgeStatus"_L1, readRecord<BridgeRuntimeStatus>),
            .pairingSession = optional(o, "pairingSession"_L1, readRecord<BridgePairingSession>),
            .stdoutLogPath = required(o, "stdoutLogPath"_L1, readText),
            .stderrLogPath = required(o, "stderrLogPath"_L1, readText),
        };
    });
}

QJsonObject BridgeSnapshot::toJson() const
{
    QJsonObject object{{"currentVersion"_L1, currentVersion},
                       {"label"_L1, label},
                       {"platform"_L1, platform},
                       {"installed"_L1, installed},
                       {"launchdLoaded"_L1, launchdLoaded},
                       {"stdoutLogPath"_L1, stdoutLogPath},
                       {"stderrLogPath"_L1, stderrLogPath}};
    insertIfPresent(object, "launchdPid"_L1, launchdPid);
    insertIfPresent(object, "daemonConfig"_L1, daemonConfig);
    insertIfPresent(object, "bridgeStatus"_L1, bridgeStatus);
    insertIfPresent(object, "pairingSession"_L1, pairingSession);
    return object;
}

bool BridgeSnapshot::isConnected() const
{
    return bridgeStatus && bridgeStatus->isConnected();
}

const BridgePairingPayload *BridgeSnapshot::pairingPayload() const
{
    if (!pairingSession || !pairingSession->pairingPayload)
        return nullptr;
    return &*pairingSession->pairingPayload;
}

std::optional<QDateTime> BridgeSnapshot::pairingCreatedDate() const
{
    return pairingSession ? pairingSession->createdDate() : std::nullopt;
}

QString BridgeSnapshot::relayCandidate() const
{
    if (daemonConfig && daemonConfig->relayUrl) {
        if (auto relay = nonEmptyTrimmed(*daemonConfig->relayUrl))
            return *relay;
    }
    if (const auto *payload = pairingPayload()) {
        if (auto relay = nonEmptyTrimmed(payload->relay))
            return *relay;
    }
    return {};
}

namespace {

// NSRelativeDateTimeFormatter's choice of unit: the largest one that the interval fills at
// least once, counted toward zero.
std::pair<double, URelativeDateTimeUnit> relativeOffset(qint64 milliseconds)
{
    const double seconds = double(milliseconds) / 1000.0;
    const double magnitude = std::fabs(seconds);
    constexpr double minute = 60, hour = 3600, day = 86400;
    const auto count = [seconds](double unit) { return std::trunc(seconds / unit); };
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

QString relativePhrase(const QDateTime &instant, const QDateTime &now)
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

} // namespace

QString BridgeSnapshot::statusFootnote(const QDateTime &now) const
{
    if (bridgeStatus && bridgeStatus->updatedAt) {
        if (auto updated = parseBridgeTimestamp(*bridgeStatus->updatedAt))
            return relativePhrase(*updated, now);
    }
    return launchdLoaded ? u"Ready in background"_s : u"Not running"_s;
}

template <typename Record>
std::optional<Record> decodeRecord(const QByteArray &document)
{
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    (void)utf8.decode(document);
    if (utf8.hasError())
        return std::nullopt;
    QJsonParseError error;
    const QJsonDocument json = QJsonDocument::fromJson(document, &error);
    if (error.error != QJsonParseError::NoError || !json.isObject())
        return std::nullopt;
    return Record::fromJson(json.object());
}

template std::optional<BridgeSnapshot> decodeRecord<BridgeSnapshot>(const QByteArray &);
template std::optional<BridgeDaemonConfig> decodeRecord<BridgeDaemonConfig>(const QByteArray &);
template std::optional<BridgeRuntimeStatus> decodeRecord<BridgeRuntimeStatus>(const QByteArray &);
template std::optional<BridgePairingSession> decodeRecord<BridgePairingSession>(
    const QByteArray &);
template std::optional<BridgePairingPayload> decodeRecord<BridgePairingPayload>(
    const QByteArray &);

bool BridgePackageUpdateState::isUpdateAvailable() const
{
    return installedVersion && latestVersion
        && compareNumerically(*installedVersion, *latestVersion) < 0;
}

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

const char *UserFacingError::what() const noexcept
{
    m_what = errorDescription().toUtf8();
    return m_what.constData();
}

QString errorDescription(const std::exception &error)
{
    if (const auto *userFacing = dynamic_cast<const UserFacingError *>(&error))
        return userFacing->errorDescription();
    return QString::fromUtf8(error.what());
}

QString errorDescription(const std::exception_ptr &error)
{
    try {
        std::rethrow_exception(error);
    } catch (const std::exception &e) {
        return errorDescription(e);
    } catch (...) {
        return u"An unknown error occurred."_s;
    }
}

QString BridgeMenuBarActionError::errorDescription() const
{
    switch (m_case) {
    case Case::BrokenCLI:
        return m_message;
    case Case::MissingCodex:
        return u"Codex app was not found in /Applications. Install Codex on this Mac, then run "
               u"setup again."_s;
    case Case::MissingCLI:
        return u"Pivra Mac connector could not be prepared automatically."_s;
    case Case::PairingTimeout:
        return u"The Mac connection did not publish a fresh pairing code in time. Open "
               u"diagnostics and try again."_s;
    }
    return {};
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
        || host.endsWith(".local"_L1) || host.startsWith("10."_L1)
        || host.startsWith("192.168."_L1) || isPrivate172Address(host);
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
