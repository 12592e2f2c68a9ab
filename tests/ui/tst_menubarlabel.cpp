// The tray label as drawn: size, dot, dimming and the symbol's colour on light and dark panels.
#include "UiTestSupport.h"

class TestMenuBarLabel : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // Catches a label scaled up or off the pixel grid, a wrong dot, dimming or symbol colour.
    void drawing()
    {
        using Look = BridgeMenuBarLabel::Look;
        for (const auto &[ratio, look] : {std::pair{1.0, Look{}},
                                          {3.0, Look{StatusTint::Green}},
                                          {1.5, Look{StatusTint::Orange, true, true}}}) {
            const QImage image = BridgeMenuBarLabel::render(look, 22, ratio);
            const int pixels = int(std::lround(22 * ratio));
            QVERIFY(image.size() == QSize(pixels, pixels) && image.devicePixelRatio() == ratio);
            const QRect symbol = BridgeMenuBarLabel::symbolRect(pixels).toRect(),
                        dot = BridgeMenuBarLabel::dotRect(pixels).toRect();
            QVERIFY(dot.right() > symbol.right() && dot.top() < symbol.top());
            const QRgb tint = look.dot ? Appearance::tintColor(*look.dot, look.dark).rgba() : 0;
            QCOMPARE(image.pixelColor(dot.center()).rgba(), tint);
            // The frame's left stroke covers whole pixels.
            const int y = symbol.center().y();
            const int full = look.dimmed ? qRound(255 * BridgeMenuBarLabel::busyOpacity) : 255;
            QCOMPARE(qAlpha(image.pixel(symbol.left(), y)), full);
            QCOMPARE(qRed(qUnpremultiply(image.pixel(symbol.left(), y))), look.dark ? 255 : 0);
            for (int x = symbol.left(); x < symbol.left() + 3 * ratio && ratio == int(ratio); ++x)
                QVERIFY2(qAlpha(image.pixel(x, y)) % full == 0, qPrintable(QString::number(x)));
        }
    }
};

QTEST_MAIN(TestMenuBarLabel)
#include "tst_menubarlabel.moc"
