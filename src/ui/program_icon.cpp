#include "ui/program_icon.h"

#include <QPainter>
#include <QSvgRenderer>

// Resources of a static library must be registered by hand.
static void InitResources()
{
    Q_INIT_RESOURCE(korvel);
}

namespace {

QSvgRenderer &Renderer()
{
    static QSvgRenderer renderer((InitResources(), QStringLiteral(":/korvel/korvel.svg")));
    return renderer;
}

} // namespace

QPixmap ProgramPicture(QSize size)
{
    QPixmap pixmap(size);
    pixmap.fill(Qt::transparent);
    const int side = std::min(size.width(), size.height());
    QPainter painter(&pixmap);
    Renderer().render(&painter, QRectF((size.width() - side) / 2.0, (size.height() - side) / 2.0, side, side));
    return pixmap;
}

QIcon ProgramIcon()
{
    QIcon icon;
    for (int side : {16, 22, 24, 32, 48, 64, 128, 256})
        icon.addPixmap(ProgramPicture(QSize(side, side)));
    return icon;
}
