// The differences window: one line per byte a verify found different. The programming thread fills it
// through ClearDifferences and AddDifferenceLine (on the UI thread); the text stays while it is hidden.
#pragma once
#include <QWidget>

class QPlainTextEdit;

class TCompDifForm : public QWidget {
    Q_OBJECT

public:
    explicit TCompDifForm(QWidget *parent = nullptr);

    void ClearDifferences();
    void AddDifferenceLine(const QString &line);

    QPlainTextEdit *Memo;
};
