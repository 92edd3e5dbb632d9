// The fixed-pitch fonts the windows were drawn with, as this desktop has them. fontconfig answers
// "Courier" with ghostscript's thin Nimbus Mono where that is installed, so the program names the
// face itself instead of leaving the choice to fontconfig.
#pragma once
#include <QFont>

// The faces only: each window sets the height it was drawn with.
// "Courier" and "Courier New": Liberation Mono, else the system's fixed font.
QFont CourierFont();
// "Fixedsys": the system's fixed font when it really is fixed-pitch, else CourierFont.
QFont FixedsysFont();
