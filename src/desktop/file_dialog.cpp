#include "desktop/file_dialog.h"

#include <QAbstractItemView>
#include <QCompleter>
#include <QFileSystemModel>
#include <QKeyEvent>
#include <QLineEdit>
#include <QListView>
#include <QRegularExpression>

namespace {

bool IsReturn(const QKeyEvent *event)
{
    return (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) &&
           (event->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier;
}

// "*.Hex" becomes "*.[Hh][Ee][Xx]": a glob every file dialog understands.
QString AnyCasePattern(const QString &pattern)
{
    QString result;
    for (const QChar ch : pattern) {
        if (ch.isLetter() && ch.toLower() != ch.toUpper())
            result += QLatin1Char('[') + ch.toUpper() + ch.toLower() + QLatin1Char(']');
        else
            result += ch;
    }
    return result;
}

// Only the patterns in the parentheses change; the text shown stays as written.
QString AnyCaseFilter(const QString &filter)
{
    static const QRegularExpression patterns(QStringLiteral("\\(([^()]*)\\)$"));
    const QRegularExpressionMatch match = patterns.match(filter);
    if (!match.hasMatch())
        return filter;
    return filter.left(match.capturedStart(1)) + AnyCasePattern(match.captured(1)) + QLatin1Char(')');
}

} // namespace

TFileDialog::TFileDialog(QWidget *parent, AcceptMode mode) : QFileDialog(parent)
{
    setAcceptMode(mode);
    setFileMode(mode == AcceptOpen ? ExistingFile : AnyFile);
    setOption(HideNameFilterDetails);
    // Qt's own dialog names itself so; a desktop's dialog would show no title at all.
    setWindowTitle(mode == AcceptOpen ? QStringLiteral("Open") : QStringLiteral("Save As"));
    WatchNameField();
}

void TFileDialog::SetFilters(const QStringList &filters)
{
    QStringList anyCase;
    for (const QString &filter : filters)
        anyCase << AnyCaseFilter(filter);
    setNameFilters(anyCase);
    selectNameFilter(anyCase.value(0));
}

QString TFileDialog::Choose(const QString &name)
{
    selectFile(name);
    if (QLineEdit *field = NameField())
        field->selectAll(); // reopened with the focus still in the field, Qt would keep the caret at the end
    const bool chosen = exec() == QDialog::Accepted && !selectedFiles().isEmpty();
    HideCompletions();
    if (QWidget *owner = parentWidget())
        owner->window()->activateWindow();
    return chosen ? selectedFiles().constFirst() : QString();
}

// Qt's own dialog builds its controls only when no desktop dialog takes its place.
void TFileDialog::showEvent(QShowEvent *event)
{
    WatchNameField();
    QFileDialog::showEvent(event);
}

QLineEdit *TFileDialog::NameField() const
{
    return findChild<QLineEdit *>(QStringLiteral("fileNameEdit"));
}

// While the completion list shows, the keys go to the list, and the completer hands them to the
// field behind the field's own filters: both are watched.
void TFileDialog::WatchNameField()
{
    QLineEdit *field = NameField();
    if (Watching || !field)
        return;
    field->installEventFilter(this);
    if (QCompleter *completer = field->completer())
        completer->popup()->installEventFilter(this);
    Watching = true;
}

bool TFileDialog::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::KeyPress && IsReturn(static_cast<QKeyEvent *>(event))) {
        AcceptTypedName();
        return true;
    }
    return QFileDialog::eventFilter(watched, event);
}

// The file list selects what each prefix of a typed path names, and its selection wins over the
// name field; a folder left selected there turns Return into a change of folder with the name
// emptied. The name field is what the user sees, so it decides.
void TFileDialog::AcceptTypedName()
{
    QLineEdit *field = NameField();
    // A completion picked with the arrow keys is what Return takes.
    if (QAbstractItemView *popup = field->completer() ? field->completer()->popup() : nullptr;
        popup && popup->isVisible() && popup->selectionModel()->hasSelection())
        field->setText(popup->currentIndex().data(QFileSystemModel::FilePathRole).toString());
    HideCompletions();
    if (auto *list = findChild<QListView *>(QStringLiteral("listView")))
        list->selectionModel()->clearSelection();
    accept();
}

void TFileDialog::HideCompletions()
{
    if (QLineEdit *field = NameField())
        if (QCompleter *completer = field->completer())
            completer->popup()->hide();
}
