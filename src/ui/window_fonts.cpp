#include "ui/window_fonts.h"

#include <QApplication>

QFont ArialPixels(int pixels)
{
    QFont font("Arial");
    font.setPixelSize(pixels);
    return font;
}

QFont ArialPoints(int points)
{
    return QFont("Arial", points);
}

QFont SansSerifPoints(int points)
{
    QFont font = QApplication::font();
    font.setPointSize(points);
    return font;
}
