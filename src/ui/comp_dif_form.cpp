#include "ui/comp_dif_form.h"

#include "ui/window_fonts.h"

#include <QPlainTextEdit>
#include <QVBoxLayout>

TCompDifForm::TCompDifForm(QWidget *parent) : QWidget(parent, Qt::Window)
{
    setWindowTitle("Differences found by Verify");
    setFont(SansSerifPoints(8));
    resize(268, 207);
    Memo = new QPlainTextEdit(this);
    Memo->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    Memo->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    Memo->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(Memo);
}

void TCompDifForm::ClearDifferences()
{
    Memo->clear();
}

void TCompDifForm::AddDifferenceLine(const QString &line)
{
    Memo->appendPlainText(line);
}
