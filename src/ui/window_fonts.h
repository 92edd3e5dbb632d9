// The fonts the windows are laid out for. Arial resolves to Liberation Sans through fontconfig; MS Sans
// Serif, a Windows bitmap font, is the desktop's default UI font at the same point size.
#pragma once
#include <QFont>

QFont ArialPixels(int pixels);
QFont ArialPoints(int points);
QFont SansSerifPoints(int points);
