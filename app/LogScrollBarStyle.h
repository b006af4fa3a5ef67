#ifndef LOGSCROLLBARSTYLE_H
#define LOGSCROLLBARSTYLE_H

#include <QPalette>
#include <QProxyStyle>
#include <QVector>

// Style for the log view's scroll bars. The view's style sheet follows the
// colour of its latest line, and every change gives the scroll bars a new
// palette. The style caches the pixmaps of their arrows under the palette's
// identity, and Qt (6.4 at least) keeps every string key its pixmap cache
// ever saw, even after the pixmap is gone: drawn with a new palette at each
// change, the keys grow by about a kilobyte a change, hundreds of megabytes
// over a day of a fast case. Drawn here with one palette per set of colours,
// the same few keys come back.
class LogScrollBarStyle : public QProxyStyle
{
    Q_OBJECT
public:
    // A style of the given name underneath (the application's, usually).
    explicit LogScrollBarStyle(const QString &baseStyleName, QObject *parent = nullptr);

    void drawPrimitive(PrimitiveElement element, const QStyleOption *option, QPainter *painter,
                       const QWidget *widget = nullptr) const override;

private:
    // How many palettes the arrows are drawn with at most; past it the
    // style starts afresh (a view that keeps changing through more colours
    // than that still grows only by that many keys at a time).
    static constexpr int kMaxPalettes = 32;

    const QPalette &sharedPalette(const QPalette &palette) const;

    mutable QVector<QPalette> m_palettes;
};

#endif // LOGSCROLLBARSTYLE_H
