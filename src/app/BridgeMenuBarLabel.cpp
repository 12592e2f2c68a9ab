#include "BridgeMenuBarLabel.h"

#include "Appearance.h"
#include "BridgeMenuBarStore.h"
#include "SymbolImageProvider.h"

#include <QIconEngine>
#include <QPainter>
#include <QSystemTrayIcon>

#include <cmath>

using namespace Qt::StringLiterals;

namespace {

// Draws the label for whatever size and ratio the tray asks, instead of scaling one bitmap.
class LabelIconEngine : public QIconEngine
{
public:
    explicit LabelIconEngine(BridgeMenuBarLabel::Look look)
        : m_look(look)
    {
    }

    void paint(QPainter *painter, const QRect &rect, QIcon::Mode, QIcon::State) override
    {
        const qreal ratio = painter->device() ? painter->device()->devicePixelRatioF() : 1.0;
        const int side = std::min(rect.width(), rect.height());
        const QImage image = BridgeMenuBarLabel::render(m_look, side, ratio);
        const QPoint topLeft
            = rect.topLeft() + QPoint((rect.width() - side) / 2, (rect.height() - side) / 2);
        painter->drawImage(QRect(topLeft, QSize(side, side)), image);
    }

    QPixmap pixmap(const QSize &size, QIcon::Mode mode, QIcon::State state) override
    {
        return scaledPixmap(size, mode, state, 1.0);
    }

    QPixmap scaledPixmap(const QSize &size, QIcon::Mode, QIcon::State, qreal scale) override
    {
        const int side = std::min(size.width(), size.height());
        return QPixmap::fromImage(BridgeMenuBarLabel::render(m_look, side, scale));
    }

    QList<QSize> availableSizes(QIcon::Mode, QIcon::State) override
    {
        return {{16, 16}, {22, 22}, {24, 24}, {32, 32}, {44, 44}, {48, 48}, {64, 64}};
    }

    QIconEngine *clone() const override { return new LabelIconEngine(m_look); }
    QString key() const override { return u"pivra-label"_s; }

private:
    BridgeMenuBarLabel::Look m_look;
};

} // namespace

BridgeMenuBarLabel::Look BridgeMenuBarLabel::look(const BridgeStatusPresentation &presentation,
                                                  bool dark)
{
    return {presentation.labelDot, presentation.labelDimmed, dark};
}

QRectF BridgeMenuBarLabel::symbolRect(qreal size)
{
    // Whole pixels, so the symbol's strokes land on the pixel grid.
    const qreal scale = size / slotSize;
    const qreal side = std::round(symbolSize * scale);
    const qreal left = std::round(2 * scale);
    const qreal top = std::round(5 * scale);
    return {left, top, side, side};
}

QRectF BridgeMenuBarLabel::dotRect(qreal size)
{
    // Aligned with the symbol's top-right corner, then moved 4 points right and 2 points up.
    const qreal scale = size / slotSize;
    const QRectF symbol = symbolRect(size);
    const qreal side = std::round(dotSize * scale);
    const qreal right = symbol.right() + std::round(4 * scale);
    const qreal top = symbol.top() - std::round(2 * scale);
    return {right - side, top, side, side};
}

QImage BridgeMenuBarLabel::render(const Look &look, int logicalSize, qreal devicePixelRatio)
{
    const int pixels = std::max(1, int(std::lround(logicalSize * devicePixelRatio)));
    QImage image(pixels, pixels, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);

    QColor symbolColor = look.dark ? QColor(Qt::white) : QColor(Qt::black);
    symbolColor.setAlphaF(look.dimmed ? busyOpacity : 1.0);
    const QRectF symbol = symbolRect(pixels);
    const QImage glyph = renderSymbol(u"terminal"_s, symbol.size().toSize(), symbolColor);

    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.drawImage(symbol.topLeft(), glyph);
    if (look.dot) {
        const QRectF dot = dotRect(pixels);
        const qreal gap = std::max<qreal>(1, std::round(devicePixelRatio));
        // A transparent ring keeps the dot apart from the symbol's frame.
        painter.setCompositionMode(QPainter::CompositionMode_Clear);
        painter.setPen(Qt::NoPen);
        painter.setBrush(Qt::black);
        painter.drawEllipse(dot.adjusted(-gap, -gap, gap, gap));
        painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
        painter.setBrush(Appearance::tintColor(*look.dot, look.dark));
        painter.drawEllipse(dot);
    }
    painter.end();
    image.setDevicePixelRatio(devicePixelRatio);
    return image;
}

QIcon BridgeMenuBarLabel::icon(const Look &look)
{
    return QIcon(new LabelIconEngine(look));
}

BridgeMenuBarLabel::BridgeMenuBarLabel(BridgeMenuBarStore &store, Appearance &appearance,
                                       QObject *parent)
    : QObject(parent)
    , m_store(store)
    , m_appearance(appearance)
{
    if (QSystemTrayIcon::isSystemTrayAvailable()) {
        m_trayIcon = std::make_unique<QSystemTrayIcon>();
        connect(m_trayIcon.get(), &QSystemTrayIcon::activated, this,
                [this](QSystemTrayIcon::ActivationReason reason) {
                    if (reason == QSystemTrayIcon::Trigger)
                        Q_EMIT clicked();
                });
    }
    connect(&m_store, &BridgeMenuBarStore::presentationChanged, this, &BridgeMenuBarLabel::update);
    connect(&m_appearance, &Appearance::changed, this, &BridgeMenuBarLabel::update);
    m_look = look(m_store.presentation(), m_appearance.isDark());
    if (m_trayIcon)
        m_trayIcon->setIcon(icon(m_look));
    update();
}

BridgeMenuBarLabel::~BridgeMenuBarLabel() = default;

void BridgeMenuBarLabel::update()
{
    const BridgeStatusPresentation &presentation = m_store.presentation();
    const Look next = look(presentation, m_appearance.isDark());
    const QString toolTip = u"Pivra: %1"_s.arg(presentation.currentStatusTitle);
    if (!m_trayIcon) {
        m_look = next;
        return;
    }
    // The store signals every assignment; the tray only hears about real changes.
    if (next != m_look) {
        m_look = next;
        m_trayIcon->setIcon(icon(m_look));
    }
    if (toolTip != m_toolTip) {
        m_toolTip = toolTip;
        m_trayIcon->setToolTip(m_toolTip);
    }
}
