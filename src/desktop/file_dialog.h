// The program's file dialogs. Where the desktop offers its own dialog (a platform theme or the XDG
// portal) that one is used, with the same filters, title and name; elsewhere Qt's own dialog, with
// two of its faults mended: after a typed name and Return its completion list stayed on screen
// and kept the keyboard, and a typed full path could be overruled by what its file list had
// selected while the path was typed.
#pragma once
#include <QFileDialog>

class QLineEdit;

class TFileDialog : public QFileDialog {
    Q_OBJECT

public:
    TFileDialog(QWidget *parent, AcceptMode mode);

    // Filters as "Text (*.Ext)"; the patterns match names in any letter case, as they do in Qt's
    // own dialog, also where the desktop's dialog would compare them exactly.
    void SetFilters(const QStringList &filters);
    // Runs the dialog with `name` in its name field, selected, so typing replaces it. Returns the
    // chosen file, or an empty string when the user cancelled. The window that opened the dialog
    // gets the keyboard back.
    QString Choose(const QString &name);

protected:
    void showEvent(QShowEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QLineEdit *NameField() const;
    void WatchNameField();
    void AcceptTypedName();
    void HideCompletions();

    bool Watching = false;
};
