#include "LogScrollBarStyle.h"

#include <QStyleFactory>
#include <QStyleOption>

LogScrollBarStyle::LogScrollBarStyle(const QString &baseStyleName, QObject *parent)
    : QProxyStyle(QStyleFactory::create(baseStyleName))
{
    setParent(parent);
}

void LogScrollBarStyle::drawPrimitive(PrimitiveElement element, const QStyleOption *option, QPainter *painter,
                                      const QWidget *widget) const
{
    const bool arrow = element == PE_IndicatorArrowUp || element == PE_IndicatorArrowDown
                       || element == PE_IndicatorArrowLeft || element == PE_IndicatorArrowRight;
    // Arrows come with a plain option; anything else goes through as it is.
    if (!arrow || !option || option->type != QStyleOption::SO_Default) {
        QProxyStyle::drawPrimitive(element, option, painter, widget);
        return;
    }
    QStyleOption same(*option);
    same.palette = sharedPalette(option->palette);
    QProxyStyle::drawPrimitive(element, &same, painter, widget);
}

const QPalette &LogScrollBarStyle::sharedPalette(const QPalette &palette) const
{
    for (const QPalette &known : m_palettes) {
        if (known == palette)
            return known;
    }
    if (m_palettes.size() >= kMaxPalettes)
        m_palettes.clear();
    m_palettes.append(palette);
    return m_palettes.constLast();
}
