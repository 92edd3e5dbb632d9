// A framed group of radio buttons laid out in columns, chosen by index. The columns fill top to
// bottom, so with 10 items in 5 columns the first column holds items 0 and 1; a group that gained a
// row of items may fill its rows first instead, so that the items it had keep their places. The
// group is one stop for Tab, its checked button; the arrow keys choose within it.
#pragma once
#include <QButtonGroup>
#include <QGroupBox>
#include <QStringList>
#include <vector>

class QRadioButton;

class TRadioGroup : public QGroupBox {
    Q_OBJECT

public:
    TRadioGroup(const QString &caption, const QStringList &items, int columns, QWidget *parent = nullptr);

    // -1 while no item is chosen.
    int ItemIndex() const { return Buttons.checkedId(); }
    // An index past the last item chooses the last item; one below 0 chooses none.
    void SetItemIndex(int index);
    QRadioButton *Item(int index) const;
    int Count() const { return static_cast<int>(Buttons.buttons().size()); }
    void SetRowsFirst(bool rowsFirst);

protected:
    void resizeEvent(QResizeEvent *event) override;
    // The captions are measured again when shown: a window may have restyled the buttons since.
    void showEvent(QShowEvent *event) override;

private:
    void ArrangeItems();
    std::vector<int> ColumnWidths(int rows) const;
    int ColumnOf(int item, int rows) const { return RowsFirst ? item % Columns : item / rows; }
    int RowOf(int item, int rows) const { return RowsFirst ? item / Columns : item % rows; }
    void UpdateTabStop();

    QButtonGroup Buttons;
    int Columns;
    bool RowsFirst = false;
};
