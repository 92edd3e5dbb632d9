// Answers the next modal dialog (a message box) from a timer, so tests can drive code that shows one.
#pragma once
#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QString>
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
