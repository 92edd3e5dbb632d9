// Answers the next modal dialog (a message box) from a timer, so tests can drive code that shows one.
#pragma once
#include <QAbstractButton>
#include <QApplication>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QString>
#include <QDeadlineTimer>
#include <QTest>
#include <QTimer>

struct TModalSeen {
    QString Title;
    QString Text;
    QMessageBox::Icon Icon = QMessageBox::NoIcon;
    bool Seen = false;
};

// Polls until a modal widget is active, records its caption and text, then presses `button`
// (or closes it when the widget is not a QMessageBox).
inline void AnswerNextModal(TModalSeen &seen, QMessageBox::StandardButton button = QMessageBox::Ok)
{
    auto *timer = new QTimer;
    timer->setInterval(10);
    QObject::connect(timer, &QTimer::timeout, [timer, &seen, button] {
        QWidget *modal = QApplication::activeModalWidget();
        if (!modal)
            return;
        seen.Seen = true;
        seen.Title = modal->windowTitle();
        if (auto *box = qobject_cast<QMessageBox *>(modal)) {
            seen.Text = box->text();
            seen.Icon = box->icon();
            if (QAbstractButton *b = box->button(button))
                b->click();
            else
                box->close();
        } else {
            modal->close();
        }
        timer->stop();
        timer->deleteLater();
    });
    timer->start();
}

// Answers the next file dialog as a user does who types `path` and presses Open or Save, or cancels
// it when `path` is empty. (selectFile would not change the name while its edit has the focus.)
inline void AnswerFileDialog(const QString &path)
{
    auto *timer = new QTimer;
    timer->setInterval(10);
    QObject::connect(timer, &QTimer::timeout, [timer, path] {
        auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
        if (!dialog)
            return;
        timer->stop();
        timer->deleteLater();
        if (path.isEmpty()) {
            dialog->reject();
            return;
        }
        dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"))->setText(path);
        static_cast<QDialog *>(dialog)->accept(); // QFileDialog::accept, as the button does
    });
    timer->start();
}

// Runs the event loop until `done` holds; false when it still does not after `ms` milliseconds.
template <typename TPredicate> bool WaitUntil(TPredicate done, int ms = 20000)
{
    QDeadlineTimer deadline(ms);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QTest::qWait(5);
    }
    return true;
}
