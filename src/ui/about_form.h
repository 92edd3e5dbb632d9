// The About window: the program's name and its picture.
#pragma once
#include <QWidget>

class QLabel;

class TAboutForm : public QWidget {
    Q_OBJECT

public:
    explicit TAboutForm(QWidget *parent = nullptr);

    QLabel *ProductName;
    QLabel *Comments;
    QLabel *ProgramIcon; // the picture, 129 x 105 at 22,74
};
