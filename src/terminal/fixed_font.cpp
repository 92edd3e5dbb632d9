#include "terminal/fixed_font.h"

#include "desktop/mono_fonts.h"

#include <QGuiApplication>
#include <QPalette>

TFixedFont::TFixedFont() : TFixedFont(CourierFont())
{
    setPixelSize(11);
}

TFixedFont::TFixedFont(const QFont &font)
    : QFont(font),
      Background(QGuiApplication::palette().color(QPalette::Base)),
      Foreground(QGuiApplication::palette().color(QPalette::Text))
{
}

bool TFixedFont::operator==(const TFixedFont &other) const
{
    return QFont::operator==(other) && Background == other.Background &&
           Foreground == other.Foreground;
}
