#pragma once

#include "BridgeStatusPresentation.h"

#include <QColor>
#include <QObject>
#include <QVariantMap>

// Light or dark, and the system colours of each. PIVRA_APPEARANCE ("light" or "dark") forces
// one; otherwise the platform palette decides and a palette change switches over.
class Appearance : public QObject
{
    Q_OBJECT
    Q_PROPERTY(bool dark READ isDark NOTIFY changed)
    // Name ("green", "orange", ...) to colour, for the current appearance.
    Q_PROPERTY(QVariantMap tints READ tints NOTIFY changed)
    Q_PROPERTY(QString monospaceFamily READ monospaceFamily CONSTANT)

public:
    explicit Appearance(QObject *parent = nullptr);

    bool isDark() const { return m_dark; }
    QVariantMap tints() const;
    QString monospaceFamily() const;

    static bool detectDark();
    static QColor tintColor(StatusTint tint, bool dark);

    // Makes `Appearance` available to QML as a singleton in "Pivra.Platform"; safe to call
    // more than once.
    static void registerQmlType();

Q_SIGNALS:
    void changed();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    bool m_dark = false;
};
