#include "ui/radio_group.h"

#include <QRadioButton>
#include <algorithm>
#include <numeric>
#include <vector>

TRadioGroup::TRadioGroup(const QString &caption, const QStringList &items, int columns, QWidget *parent)
    : QGroupBox(caption, parent), Columns(std::max(columns, 1))
{
    for (int i = 0; i < items.size(); ++i)
        Buttons.addButton(new QRadioButton(items.at(i), this), i);
    connect(&Buttons, &QButtonGroup::idToggled, this, &TRadioGroup::UpdateTabStop);
    UpdateTabStop();
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

void TRadioGroup::showEvent(QShowEvent *event)
{
    QGroupBox::showEvent(event);
    ArrangeItems();
}

// The rows share the height below the caption evenly; what does not divide goes half above, half
// below. Each column is as wide as its widest caption needs and the rest of the width is shared out
// evenly, so no caption runs into the button of the next column.
void TRadioGroup::ArrangeItems()
{
    if (Count() == 0)
        return;
    const int rows = (Count() + Columns - 1) / Columns;
    const int columns = (Count() + rows - 1) / rows;
    std::vector<int> widths(static_cast<std::size_t>(columns), 0);
    for (int i = 0; i < Count(); ++i)
        widths[static_cast<std::size_t>(i / rows)] =
            std::max(widths[static_cast<std::size_t>(i / rows)], Buttons.button(i)->sizeHint().width());
    const int spare = std::max(0, width() - 10 - std::accumulate(widths.begin(), widths.end(), 0));
    const int captionHeight = fontMetrics().height();
    const int below = height() - captionHeight - 5;
    const int itemHeight = below / rows;
    const int top = captionHeight + 1 + below % rows / 2;
    int left = 8;
    for (int column = 0; column < columns; ++column) {
        const int itemWidth = widths[static_cast<std::size_t>(column)] + spare / columns + (column < spare % columns);
        for (int i = column * rows; i < std::min(Count(), (column + 1) * rows); ++i)
            Buttons.button(i)->setGeometry(left, i % rows * itemHeight + top, itemWidth, itemHeight);
        left += itemWidth;
    }
}

// Tab lands on the checked button (the first one while none is), as Space there must not change
// the choice.
void TRadioGroup::UpdateTabStop()
{
    QAbstractButton *stop = Buttons.checkedButton() ? Buttons.checkedButton() : Buttons.button(0);
    for (QAbstractButton *button : Buttons.buttons())
        button->setFocusPolicy(button == stop ? Qt::StrongFocus : Qt::ClickFocus);
}
