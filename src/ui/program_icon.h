// The program's icon, drawn from the SVG in the resources, for the windows, the tray and the About box.
#pragma once
#include <QIcon>
#include <QPixmap>

QIcon ProgramIcon();
// The icon drawn at the largest size that fits into `size`, centred on a transparent pixmap of that size.
QPixmap ProgramPicture(QSize size);
