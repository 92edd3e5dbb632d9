#include "ui/radio_group.h"

#include <QRadioButton>
#include <algorithm>
#include <numeric>

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

void TRadioGroup::SetRowsFirst(bool rowsFirst)
{
    RowsFirst = rowsFirst;
    ArrangeItems();
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
// below. The columns share the width as ColumnWidths says.
void TRadioGroup::ArrangeItems()
{
    if (Count() == 0)
        return;
    const int rows = (Count() + Columns - 1) / Columns;
    const int captionHeight = fontMetrics().height();
    const int below = height() - captionHeight - 5;
    const int itemHeight = below / rows;
    const int top = captionHeight + 1 + below % rows / 2;
    const std::vector<int> widths = ColumnWidths(rows);
    std::vector<int> lefts(widths.size(), 8);
    for (std::size_t column = 1; column < widths.size(); ++column)
        lefts[column] = lefts[column - 1] + widths[column - 1];
    for (int i = 0; i < Count(); ++i) {
        const auto column = static_cast<std::size_t>(ColumnOf(i, rows));
        Buttons.button(i)->setGeometry(lefts[column], RowOf(i, rows) * itemHeight + top, widths[column], itemHeight);
    }
}

// Each column is as wide as its widest caption needs, and the rest of the width is shared out
// evenly, so no caption runs into the button of the next column.
std::vector<int> TRadioGroup::ColumnWidths(int rows) const
{
    std::vector<int> widths(static_cast<std::size_t>(RowsFirst ? std::min(Columns, Count()) : (Count() + rows - 1) / rows),
                            0);
    for (int i = 0; i < Count(); ++i) {
        int &width = widths[static_cast<std::size_t>(ColumnOf(i, rows))];
        width = std::max(width, Buttons.button(i)->sizeHint().width());
    }
    const int columns = static_cast<int>(widths.size());
    const int spare = std::max(0, width() - 10 - std::accumulate(widths.begin(), widths.end(), 0));
    for (int column = 0; column < columns; ++column)
        widths[static_cast<std::size_t>(column)] += spare / columns + (column < spare % columns ? 1 : 0);
    return widths;
}

// Tab lands on the checked button (the first one while none is), as Space there must not change
// the choice.
void TRadioGroup::UpdateTabStop()
{
    QAbstractButton *stop = Buttons.checkedButton() ? Buttons.checkedButton() : Buttons.button(0);
    for (QAbstractButton *button : Buttons.buttons())
        button->setFocusPolicy(button == stop ? Qt::StrongFocus : Qt::ClickFocus);
}
