#include "Appearance.h"

#include <QEvent>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QPalette>
#include <QQmlEngine>

#include <mutex>

using namespace Qt::StringLiterals;

namespace {

constexpr StatusTint allTints[]
    = {StatusTint::Green, StatusTint::Orange, StatusTint::Yellow, StatusTint::Blue,
       StatusTint::Red,   StatusTint::Gray,   StatusTint::Pink};

std::optional<bool> forcedDark()
{
    const QByteArray forced = qgetenv("PIVRA_APPEARANCE").trimmed().toLower();
    if (forced == "dark")
        return true;
    if (forced == "light")
        return false;
    return std::nullopt;
}

} // namespace

Appearance::Appearance(QObject *parent)
    : QObject(parent)
    , m_dark(detectDark())
{
    if (qApp)
        qApp->installEventFilter(this);
}

bool Appearance::detectDark()
{
    if (const auto forced = forcedDark())
        return *forced;
    if (!qobject_cast<QGuiApplication *>(QCoreApplication::instance()))
        return false;
    // Qt 6.4 has no colour-scheme hint; a dark window colour is what a dark theme sets.
    return QGuiApplication::palette().color(QPalette::Window).lightness() < 128;
}

QColor Appearance::tintColor(StatusTint tint, bool dark)
{
    // The platform's system colours, in their light and dark variants.
    switch (tint) {
    case StatusTint::Green:
        return dark ? QColor(0x32, 0xd7, 0x4b) : QColor(0x28, 0xcd, 0x41);
    case StatusTint::Orange:
        return dark ? QColor(0xff, 0x9f, 0x0a) : QColor(0xff, 0x95, 0x00);
    case StatusTint::Yellow:
        return dark ? QColor(0xff, 0xd6, 0x0a) : QColor(0xff, 0xcc, 0x00);
    case StatusTint::Blue:
        return dark ? QColor(0x0a, 0x84, 0xff) : QColor(0x00, 0x7a, 0xff);
    case StatusTint::Red:
        return dark ? QColor(0xff, 0x45, 0x3a) : QColor(0xff, 0x3b, 0x30);
    case StatusTint::Gray:
        return dark ? QColor(0x98, 0x98, 0x9d) : QColor(0x8e, 0x8e, 0x93);
    case StatusTint::Pink:
        return dark ? QColor(0xff, 0x37, 0x5f) : QColor(0xff, 0x2d, 0x55);
    }
    return {};
}

QVariantMap Appearance::tints() const
{
    QVariantMap map;
    for (const StatusTint tint : allTints)
        map.insert(tintName(tint), tintColor(tint, m_dark));
    return map;
}

QString Appearance::monospaceFamily() const
{
    return QFontDatabase::systemFont(QFontDatabase::FixedFont).family();
}

bool Appearance::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == qApp && event->type() == QEvent::ApplicationPaletteChange) {
        const bool dark = detectDark();
        if (dark != m_dark) {
            m_dark = dark;
            Q_EMIT changed();
        }
    }
    return QObject::eventFilter(watched, event);
}

void Appearance::registerQmlType()
{
    static std::once_flag once;
    std::call_once(once, [] {
        qmlRegisterSingletonType<Appearance>(
            "Pivra.Platform", 1, 0, "Appearance",
            [](QQmlEngine *, QJSEngine *) -> QObject * { return new Appearance; });
    });
}
