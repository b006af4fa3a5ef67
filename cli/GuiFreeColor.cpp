// The engine's log lines carry a QColor, whose few out-of-line functions
// live in Qt's GUI library. The console runner defines those it uses here,
// from QColor's own inline constructor, so it runs where no GUI library is
// installed. Only the colours the log uses (Qt's global colours) are made.
#include <QColor>
#include <QDataStream>
#include <QDebug>

#include <cstring>

QColor::QColor(Qt::GlobalColor color) noexcept : QColor()
{
    // Qt's values for its global colours, in the enum's order.
    static const int rgba[][4] = {
        {255, 255, 255, 255}, {0, 0, 0, 255},       {0, 0, 0, 255},       {255, 255, 255, 255},
        {128, 128, 128, 255}, {160, 160, 164, 255}, {192, 192, 192, 255}, {255, 0, 0, 255},
        {0, 255, 0, 255},     {0, 0, 255, 255},     {0, 255, 255, 255},   {255, 0, 255, 255},
        {255, 255, 0, 255},   {128, 0, 0, 255},     {0, 128, 0, 255},     {0, 0, 128, 255},
        {0, 128, 128, 255},   {128, 0, 128, 255},   {128, 128, 0, 255},   {0, 0, 0, 0},
    };
    const int i = int(color);
    if (i >= 0 && i < int(sizeof rgba / sizeof rgba[0]))
        *this = QColor(rgba[i][0], rgba[i][1], rgba[i][2], rgba[i][3]);
}

bool QColor::operator==(const QColor &c) const noexcept
{
    return cspec == c.cspec && std::memcmp(ct.array, c.ct.array, sizeof ct.array) == 0;
}

bool QColor::operator!=(const QColor &c) const noexcept
{
    return !operator==(c);
}

QDebug operator<<(QDebug dbg, const QColor &c)
{
    // Not a friend of QColor: its two members are read through their layout.
    struct Layout
    {
        QColor::Spec spec;
        ushort argb[5];
    } l;
    static_assert(sizeof(Layout) == sizeof(QColor), "QColor's layout");
    std::memcpy(static_cast<void *>(&l), static_cast<const void *>(&c), sizeof l);
    QDebugStateSaver saver(dbg);
    if (l.spec == QColor::Invalid)
        dbg.nospace() << "QColor(Invalid)";
    else
        dbg.nospace() << "QColor(ARGB " << (l.argb[0] >> 8) << ", " << (l.argb[1] >> 8) << ", " << (l.argb[2] >> 8)
                      << ", " << (l.argb[3] >> 8) << ')';
    return dbg;
}

QDataStream &operator<<(QDataStream &stream, const QColor &color)
{
    stream << qint8(color.cspec);
    for (ushort part : color.ct.array)
        stream << quint16(part);
    return stream;
}

QDataStream &operator>>(QDataStream &stream, QColor &color)
{
    qint8 spec = 0;
    stream >> spec;
    color.cspec = QColor::Spec(spec);
    for (ushort &part : color.ct.array) {
        quint16 value = 0;
        stream >> value;
        part = value;
    }
    return stream;
}
