#include "ui/radio_group.h"

#include <QRadioButton>
#include <algorithm>

TRadioGroup::TRadioGroup(const QString &caption, const QStringList &items, int columns, QWidget *parent)
    : QGroupBox(caption, parent), Columns(std::max(columns, 1))
{
    for (int i = 0; i < items.size(); ++i)
        Buttons.addButton(new QRadioButton(items.at(i), this), i);
}

void TRadioGroup::SetItemIndex(int index)
{
    if (Count() == 0)
        return;
    if (index >= 0) {
        Buttons.button(std::min(index, Count() - 1))->setChecked(true);
        return;
    }
    // An exclusive group never lets its checked button go by itself.
    if (QAbstractButton *checked = Buttons.checkedButton()) {
        Buttons.setExclusive(false);
        checked->setChecked(false);
        Buttons.setExclusive(true);
    }
}

QRadioButton *TRadioGroup::Item(int index) const
{
    return qobject_cast<QRadioButton *>(Buttons.button(index));
}

void TRadioGroup::resizeEvent(QResizeEvent *event)
{
    QGroupBox::resizeEvent(event);
    ArrangeItems();
}

// The rows share the height below the caption evenly; what does not divide goes half above, half below.
void TRadioGroup::ArrangeItems()
{
    if (Count() == 0)
        return;
    const int rows = (Count() + Columns - 1) / Columns;
    const int captionHeight = fontMetrics().height();
    const int itemWidth = (width() - 10) / Columns;
    const int below = height() - captionHeight - 5;
    const int itemHeight = below / rows;
    const int top = captionHeight + 1 + below % rows / 2;
    for (int i = 0; i < Count(); ++i)
        Buttons.button(i)->setGeometry(i / rows * itemWidth + 8, i % rows * itemHeight + top, itemWidth, itemHeight);
}
