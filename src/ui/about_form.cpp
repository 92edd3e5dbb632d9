#include "ui/about_form.h"

#include "ui/program_icon.h"
#include "ui/window_fonts.h"

#include <QLabel>

TAboutForm::TAboutForm(QWidget *parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint)
{
    setWindowTitle("About");
    setFont(ArialPoints(8));
    setFixedSize(173, 187);
    ProductName = new QLabel("Korvel", this);
    QFont big = ArialPoints(14);
    big.setBold(true);
    ProductName->setFont(big);
    ProductName->setAlignment(Qt::AlignCenter);
    ProductName->setGeometry(8, 8, 157, 28);
    Comments = new QLabel("In-system programmer for\nAT89S8252 and AT89S53", this);
    Comments->setAlignment(Qt::AlignCenter);
    Comments->setGeometry(8, 38, 157, 30);
    ProgramIcon = new QLabel(this);
    ProgramIcon->setGeometry(22, 74, 129, 105);
    ProgramIcon->setPixmap(::ProgramPicture(QSize(129, 105)));
}
