#pragma once

#include <QDateTime>
#include <QString>

// How long ago (or how far ahead) `instant` is from `now`, the way the system phrases it in the
// user's locale: short style, numeric ("3 hr. ago"), in the largest unit the interval fills.
QString relativeTimePhrase(const QDateTime &instant, const QDateTime &now);
