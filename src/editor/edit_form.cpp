#include "editor/edit_form.h"

#include "buffer/memory_buffer.h"
#include "desktop/mono_fonts.h"
#include "editor/edit_form_rules.h"
#include "editor/hex_editor.h"
#include "prog/prog_status.h"
#include "settings/settings.h"

#include <QApplication>
#include <QHBoxLayout>
#include <QMessageBox>
#include <QPushButton>
#include <QShowEvent>
#include <QTimer>
#include <QVBoxLayout>

#include <stdexcept>
#include <vector>

namespace {

// The window's geometry, in pixels.
constexpr QSize InitialSize{511, 128};
constexpr QSize MinimumSize{205, 102};
constexpr int PanelHeight = 33;
constexpr QSize ButtonSize{41, 25};
constexpr int ButtonGap = 6; // between two buttons, and between Ok and the panel's right edge

constexpr int BusyPollMs = 100;

} // namespace

TEditForm::TEditForm(TMemoryBuffer &memory, const TSettings &settings, const TProgStatus &status,
                     QWidget *parent)
    : QWidget(parent, Qt::Window), HexEd(new THexEditor(this)), Panel1(new QWidget(this)),
      Button1(new QPushButton("&Ok", Panel1)), Button2(new QPushButton("&Exit", Panel1)),
      Button3(new QPushButton("&Undo", Panel1)), Button4(new QPushButton("&Grid", Panel1)), Memory(memory),
      Settings(settings), Status(status), BusyTimer(new QTimer(this))
{
    setWindowTitle("Edit Buffer");
    QFont font("Arial");
    font.setPixelSize(11);
    setFont(font);
    setMinimumSize(MinimumSize);
    resize(InitialSize);
    SetUpEditor();
    SetUpPanel();
    auto *column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    column->addWidget(HexEd, 1);
    column->addWidget(Panel1);
    BusyTimer->setInterval(BusyPollMs);
    connect(BusyTimer, &QTimer::timeout, this, &TEditForm::BusyTimerTimer);
}

void TEditForm::SetUpEditor()
{
    HexEd->SetBytesPerLine(16);
    HexEd->SetBytesPerColumn(1);
    HexEd->SetOffsetDisplay(odHex);
    HexEd->SetOffsetSeparator(':');
    HexEd->SetTranslation(ttAnsi);
    QFont font = CourierFont();
    font.setPixelSize(16);
    HexEd->setFont(font);
    HexEd->SetFocusFrame(true);
    HexEd->Colors().SetChangedText(QColor(128, 0, 0));
    HexEd->Colors().SetChangedBackground(QColor(255, 255, 168));
    HexEd->Colors().SetOddColumn(Qt::black);
    HexEd->Colors().SetEvenColumn(Qt::black);
}

void TEditForm::SetUpPanel()
{
    Panel1->setFixedHeight(PanelHeight);
    auto *row = new QHBoxLayout(Panel1);
    row->setContentsMargins(0, 0, ButtonGap, 0);
    row->setSpacing(ButtonGap);
    row->addStretch(1); // keeps the buttons at the right edge
    for (QPushButton *button : {Button4, Button3, Button2, Button1}) {
        button->setFixedSize(ButtonSize);
        row->addWidget(button);
    }
    connect(Button1, &QPushButton::clicked, this, &TEditForm::Button1Click);
    connect(Button2, &QPushButton::clicked, this, &TEditForm::Button2Click);
    connect(Button3, &QPushButton::clicked, this, &TEditForm::Button3Click);
    connect(Button4, &QPushButton::clicked, this, &TEditForm::Button4Click);
    setTabOrder(Button1, Button2);
    setTabOrder(Button2, Button3);
    setTabOrder(Button3, Button4);
    setTabOrder(Button4, HexEd);
}

void TEditForm::ShowWindow()
{
    if (!isVisible()) {
        show();
        return;
    }
    setWindowState(windowState() & ~Qt::WindowMinimized);
    raise();
    activateWindow();
}

void TEditForm::RefreshEditWindow()
{
    if (isVisible())
        FormShow();
}

void TEditForm::showEvent(QShowEvent *e)
{
    QWidget::showEvent(e);
    // A spontaneous show is the window system restoring a minimised window: the edits stay.
    if (e->spontaneous())
        return;
    FormShow();
    BusyTimerTimer();
    BusyTimer->start();
    HexEd->setFocus(); // so the user can type at once, with the caret on byte 0
}

void TEditForm::hideEvent(QHideEvent *e)
{
    QWidget::hideEvent(e);
    if (!e->spontaneous())
        BusyTimer->stop();
}

void TEditForm::FormShow()
{
    const int n = CodeMemorySize(Settings.Device);
    // Only the load may change the document's length, so that Ok always finds all n bytes.
    HexEd->SetNoSizeChange(false);
    Guarded([&] {
        HexEd->NewDocument("Temp.Fil");
        HexEd->InsertBuffer(Memory.Buffer.data(), n, 0);
        HexEd->SetSelStart(0);
        HexEd->SetSelEnd(0);
    });
    HexEd->SetNoSizeChange(true);
}

void TEditForm::Button1Click()
{
    // While Busy the programming thread reads or fills the buffer.
    if (Status.Busy || OkHeld) {
        QApplication::beep();
        return;
    }
    Guarded([this] {
        const int n = CodeMemorySize(Settings.Device);
        // Every byte is read before any is stored, so a failing read leaves the buffer as it was.
        std::vector<std::uint8_t> edited(static_cast<std::size_t>(n));
        for (int i = 0; i < n; ++i)
            edited[static_cast<std::size_t>(i)] = HexEd->GetMemory(i);
        WriteBackEdits(Memory, edited);
        close();
    });
}

void TEditForm::Button2Click()
{
    close();
}

void TEditForm::Button3Click()
{
    Guarded([this] {
        if (UndoRevertsAnEdit(HexEd->UndoText().toStdString()))
            HexEd->Undo();
    });
}

void TEditForm::Button4Click()
{
    HexEd->SetGridLineWidth(HexEd->GridLineWidth() == 0 ? 1 : 0);
}

void TEditForm::BusyTimerTimer()
{
    Button1->setEnabled(!Status.Busy && !OkHeld);
}

void TEditForm::SetOkHeld(bool held)
{
    OkHeld = held;
    BusyTimerTimer();
}

void TEditForm::Guarded(const std::function<void()> &action)
{
    try {
        action();
    } catch (const std::runtime_error &error) {
        QMessageBox::critical(this, QGuiApplication::applicationDisplayName(), QString::fromUtf8(error.what()));
    }
}
