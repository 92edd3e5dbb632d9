// The font of a console's cells: a QFont that also carries the colours of the text and of the cells.
#pragma once
#include <QColor>
#include <QFont>

class TFixedFont : public QFont {
public:
    // "Courier New" (as the desktop has it, see CourierFont) in the system window colours.
    TFixedFont();
    explicit TFixedFont(const QFont &font);

    QColor BkColor() const { return Background; }
    void SetBkColor(const QColor &color) { Background = color; }
    QColor Color() const { return Foreground; }
    void SetColor(const QColor &color) { Foreground = color; }

    bool operator==(const TFixedFont &other) const;

private:
    QColor Background;
    QColor Foreground;
};
