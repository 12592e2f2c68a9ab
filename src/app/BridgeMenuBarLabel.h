#pragma once

#include "BridgeStatusPresentation.h"

#include <QIcon>
#include <QImage>
#include <QObject>

#include <memory>
#include <optional>

class Appearance;
class BridgeMenuBarStore;
class QSystemTrayIcon;

// The tray item: the "terminal" symbol, dimmed while the store is busy, with an orange dot when
// an update is available, else a green one while the bridge is connected.
class BridgeMenuBarLabel : public QObject
{
    Q_OBJECT

public:
    struct Look
    {
        std::optional<StatusTint> dot;
        bool dimmed = false;
        // The panel the icon sits on is dark: the symbol is drawn white instead of black.
        bool dark = false;

        bool operator==(const Look &) const = default;
    };

    // Symbol size and the dot's place, in points of the 22-point tray slot the label is laid
    // out for; other slot sizes scale it.
    static constexpr qreal slotSize = 22;
    static constexpr qreal symbolSize = 15;
    static constexpr qreal dotSize = 7;
    static constexpr qreal busyOpacity = 0.7;

    static Look look(const BridgeStatusPresentation &presentation, bool dark);
    // The label as `logicalSize` points square at `devicePixelRatio`: the image has exactly
    // logicalSize × ratio pixels, so nothing is scaled after drawing.
    static QImage render(const Look &look, int logicalSize, qreal devicePixelRatio);
    static QIcon icon(const Look &look);
    // Where the symbol and the dot lie inside a slot of `size` pixels.
    static QRectF symbolRect(qreal size);
    static QRectF dotRect(qreal size);

    // Creates the tray icon only when the desktop has a system tray; it is hidden until shown.
    BridgeMenuBarLabel(BridgeMenuBarStore &store, Appearance &appearance,
                       QObject *parent = nullptr);
    ~BridgeMenuBarLabel() override;

    Look currentLook() const { return m_look; }
    // Absent without a system tray.
    QSystemTrayIcon *trayIcon() const { return m_trayIcon.get(); }

Q_SIGNALS:
    // A primary click on the tray item.
    void clicked();

private:
    void update();

    BridgeMenuBarStore &m_store;
    Appearance &m_appearance;
    std::unique_ptr<QSystemTrayIcon> m_trayIcon;
    Look m_look;
    QString m_toolTip;
};
