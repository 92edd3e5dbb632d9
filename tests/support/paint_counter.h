// Counts the paint events a widget receives (install it as an event filter on the viewport).
#pragma once
#include <QEvent>
#include <QObject>

class TPaintCounter : public QObject {
public:
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::Paint)
            ++Paints;
        return false;
    }
    long Paints = 0;
};
