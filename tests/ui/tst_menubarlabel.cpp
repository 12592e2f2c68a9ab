// The tray label's drawing: its size at each device pixel ratio, the dot's colour and place,
// the busy dimming and the symbol's colour on light and dark panels.
#include "Appearance.h"
#include "BridgeMenuBarLabel.h"
#include "UiTestSupport.h"

using namespace ui;

namespace {

using Look = BridgeMenuBarLabel::Look;

// Highest alpha inside `rect` (device pixels).
int maxAlpha(const QImage &image, const QRect &rect)
{
    int alpha = 0;
    for (int y = rect.top(); y <= rect.bottom(); ++y) {
        for (int x = rect.left(); x <= rect.right(); ++x)
            alpha = std::max(alpha, qAlpha(image.pixel(x, y)));
    }
    return alpha;
}

} // namespace

class TestMenuBarLabel : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void drawing_data()
    {
        QTest::addColumn<qreal>("ratio");
        QTest::addColumn<std::optional<StatusTint>>("dot");
        QTest::addColumn<bool>("dimmed");
        QTest::addColumn<bool>("dark");
        for (const qreal ratio : {1.0, 1.5, 2.0, 3.0}) {
            const QByteArray r = QByteArray::number(ratio);
            QTest::newRow("plain @" + r) << ratio << std::optional<StatusTint>() << false << false;
            QTest::newRow("connected @" + r)
                << ratio << std::optional(StatusTint::Green) << false << false;
            QTest::newRow("update, busy, dark @" + r)
                << ratio << std::optional(StatusTint::Orange) << true << true;
        }
    }

    void drawing()
    {
        QFETCH(qreal, ratio);
        QFETCH(std::optional<StatusTint>, dot);
        QFETCH(bool, dimmed);
        QFETCH(bool, dark);

        const QImage image = BridgeMenuBarLabel::render({dot, dimmed, dark}, 22, ratio);
        // Drawn at the device resolution, not scaled from a 1x bitmap.
        const int pixels = int(std::lround(22 * ratio));
        QCOMPARE(image.size(), QSize(pixels, pixels));
        QCOMPARE(image.devicePixelRatio(), ratio);

        const QRect symbol = BridgeMenuBarLabel::symbolRect(pixels).toRect();
        const QRect dotRect = BridgeMenuBarLabel::dotRect(pixels).toRect();
        // The dot sits at the symbol's top-right corner, pushed out right and up.
        QVERIFY(dotRect.right() > symbol.right());
        QVERIFY(dotRect.top() < symbol.top());

        // Busy dims the symbol to 0.7; the left frame stroke is fully covered otherwise.
        const QRect leftStroke(symbol.left(), symbol.center().y() - 1, 2, 3);
        QCOMPARE(maxAlpha(image, leftStroke),
                 dimmed ? qRound(255 * BridgeMenuBarLabel::busyOpacity) : 255);
        const QRgb strokePixel = image.pixel(leftStroke.topLeft() + QPoint(0, 1));
        const int channel = qRed(qUnpremultiply(strokePixel));
        QCOMPARE(channel, dark ? 255 : 0);

        const QColor centre = image.pixelColor(dotRect.center());
        if (dot) {
            QCOMPARE(centre.rgb(), Appearance::tintColor(*dot, dark).rgb());
            QCOMPARE(centre.alpha(), 255);
        } else {
            QCOMPARE(centre.alpha(), 0);
        }
    }

    // At whole ratios the frame's straight strokes cover whole pixels: a label scaled up from
    // a smaller bitmap, or drawn off the pixel grid, has half-covered pixels along them.
    void sharpAtWholeRatios()
    {
        for (const qreal ratio : {1.0, 2.0, 3.0}) {
            const QImage image = BridgeMenuBarLabel::render({}, 22, ratio);
            const QRect symbol = BridgeMenuBarLabel::symbolRect(image.width()).toRect();
            const int y = symbol.center().y();
            for (int x = symbol.left(); x < symbol.left() + int(3 * ratio); ++x) {
                const int alpha = qAlpha(image.pixel(x, y));
                QVERIFY2(alpha == 0 || alpha == 255,
                         qPrintable(u"ratio %1, x %2: alpha %3"_s.arg(ratio).arg(x).arg(alpha)));
            }
        }
    }

    // The icon engine answers any size the tray asks for at that exact size.
    void iconAtRequestedSizes()
    {
        const QIcon icon = BridgeMenuBarLabel::icon({StatusTint::Green, false, false});
        for (const int side : {16, 22, 24, 32, 48}) {
            const QPixmap pixmap = icon.pixmap(QSize(side, side));
            QCOMPARE(pixmap.size(), QSize(side, side));
        }
        QVERIFY(!icon.availableSizes().isEmpty());
    }
};

PIVRA_UI_TEST_MAIN(TestMenuBarLabel)
#include "tst_menubarlabel.moc"
