#pragma once

#include <QColor>
#include <QImage>
#include <QQuickImageProvider>

// The app's symbols ("terminal", "checkmark.circle.fill", "circle", "chevron.up",
// "chevron.down") are single-colour SVGs; they are drawn at the exact pixel size asked for, so
// they stay sharp at every device pixel ratio, and filled with the colour the caller wants.
QImage renderSymbol(const QString &name, const QSize &pixelSize, const QColor &color);

// "image://symbol/<name>/<colour as hex digits>", e.g. "image://symbol/circle/80000000".
class SymbolImageProvider : public QQuickImageProvider
{
public:
    SymbolImageProvider();
    QImage requestImage(const QString &id, QSize *size, const QSize &requestedSize) override;
};
