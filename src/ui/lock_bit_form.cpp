#include "ui/lock_bit_form.h"

#include "ui/form_rules.h"
#include "ui/window_fonts.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QPushButton>
#include <QShowEvent>

TLockBitForm::TLockBitForm(QWidget *parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint)
{
    setWindowTitle("Write Lock Bits");
    setFont(SansSerifPoints(8));
    setFixedSize(262, 88);
    GroupBox1 = new QGroupBox("Enable Lock Bit", this);
    GroupBox1->setGeometry(8, 8, 249, 41);
    LB1 = new QCheckBox("Lock Bit 1", GroupBox1);
    LB1->setGeometry(8, 16, 73, 17);
    LB2 = new QCheckBox("Lock Bit 2", GroupBox1);
    LB2->setGeometry(88, 16, 73, 17);
    LB3 = new QCheckBox("Lock Bit 3", GroupBox1);
    LB3->setGeometry(168, 16, 73, 17);
    Button2 = new QPushButton("&Cancel", this);
    Button2->setGeometry(152, 56, 57, 25);
    Button1 = new QPushButton("&Ok", this);
    Button1->setGeometry(216, 56, 41, 25);
    Button1->setDefault(true);
    connect(Button1, &QPushButton::clicked, this, &QDialog::accept);
    connect(Button2, &QPushButton::clicked, this, &QDialog::reject);
}

std::uint8_t TLockBitForm::LockBitsByte() const
{
    return LockBitsByteOf(LB1->isChecked(), LB2->isChecked(), LB3->isChecked());
}

void TLockBitForm::showEvent(QShowEvent *event)
{
    QDialog::showEvent(event);
    if (event->spontaneous())
        return;
    const QCheckBox *boxes[] = {LB1, LB2, LB3};
    for (int i = 0; i < 3; ++i)
        Opened[i] = boxes[i]->isChecked();
}

void TLockBitForm::reject()
{
    QCheckBox *boxes[] = {LB1, LB2, LB3};
    for (int i = 0; i < 3; ++i)
        boxes[i]->setChecked(Opened[i]);
    QDialog::reject();
}
