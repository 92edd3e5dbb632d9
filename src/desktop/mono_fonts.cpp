#include "desktop/mono_fonts.h"

#include <QFontDatabase>
#include <QFontInfo>

namespace {

const QString MetricCourier = QStringLiteral("Liberation Mono");

QFont Typewriter(QFont font)
{
    font.setStyleHint(QFont::TypeWriter);
    return font;
}

} // namespace

QFont CourierFont()
{
    if (QFontDatabase::hasFamily(MetricCourier))
        return Typewriter(QFont(MetricCourier));
    return Typewriter(QFontDatabase::systemFont(QFontDatabase::FixedFont));
}

// Some desktops answer "monospace" with a face that fontconfig does not call fixed-pitch (Noto Sans
// Mono), which a console that takes fixed-pitch fonts only would refuse.
QFont FixedsysFont()
{
    const QFont system = Typewriter(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    return QFontInfo(system).fixedPitch() ? system : CourierFont();
}
