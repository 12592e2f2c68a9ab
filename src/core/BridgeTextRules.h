#pragma once

#include <QDateTime>
#include <QString>
#include <QStringView>

#include <optional>

// The small text rules the bridge's files and tools need: trimming, the one timestamp format,
// integers, numeric ordering of versions and the kind of a relay address.

// Orders two texts with digit runs compared by value and everything else by character code.
int compareNumerically(QStringView left, QStringView right);

// Trims Unicode white space and line breaks from both ends; absent when nothing remains.
std::optional<QString> nonEmptyTrimmed(QStringView text);

// Parses the bridge's timestamps: full date, full time, fractional seconds and a zone designator
// ("Z" or ±hh:mm) are all required.
std::optional<QDateTime> parseBridgeTimestamp(QStringView text);

// A decimal integer with one optional sign and at least one digit, nothing else, within 64 bits.
std::optional<qint64> parseDecimalInteger(QStringView text);

// "Local", "Remote" or "Unconfigured" for a relay address, judged on its text alone.
QString classifyRelay(QStringView relay);
bool isPrivate172Address(QStringView host);
