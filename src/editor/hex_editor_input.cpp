// Keyboard, mouse and focus handling of THexEditor; the rules themselves are THexEditModel's.
#include "editor/hex_editor.h"

#include "editor/editor_error.h"

#include <QGuiApplication>
#include <QKeyEvent>
#include <QMessageBox>
#include <QMouseEvent>

namespace {

// The main keyboard's digit for a key, also when Shift or the layout turned it into a symbol
// ("!" or "&" on the 1 key). Every keyboard source of Qt on Linux (X11, Wayland, libinput, evdev)
// reports the kernel's key code plus 8 as the scan code, and the digit row is 10..19 there on every
// layout. Without a scan code (a synthesised event) only a US layout's shifted symbols are known.
int MainDigit(const QKeyEvent *e)
{
    if (e->modifiers() & Qt::KeypadModifier)
        return -1;
    if (e->key() >= Qt::Key_0 && e->key() <= Qt::Key_9)
        return e->key() - Qt::Key_0;
    if (const quint32 code = e->nativeScanCode(); code != 0) {
        if (code < 10 || code > 19)
            return -1;
        return code == 19 ? 0 : static_cast<int>(code - 9);
    }
    const int symbol = QString(")!@#$%^&*(").indexOf(e->text());
    return e->text().size() == 1 ? symbol : -1;
}

unsigned ModifiersOf(const QKeyEvent *e)
{
    unsigned mods = kmNone;
    if (e->modifiers() & Qt::ShiftModifier)
        mods |= kmShift;
    if (e->modifiers() & Qt::ControlModifier)
        mods |= kmCtrl;
    if (e->modifiers() & Qt::AltModifier)
        mods |= kmAlt;
    return mods;
}

THexKey KeyOf(int key)
{
    switch (key) {
    case Qt::Key_Left: return THexKey::Left;
    case Qt::Key_Right: return THexKey::Right;
    case Qt::Key_Up: return THexKey::Up;
    case Qt::Key_Down: return THexKey::Down;
    case Qt::Key_Home: return THexKey::Home;
    case Qt::Key_End: return THexKey::End;
    case Qt::Key_PageUp: return THexKey::PageUp;
    case Qt::Key_PageDown: return THexKey::PageDown;
    case Qt::Key_Tab: return THexKey::Tab;
    case Qt::Key_Backtab: return THexKey::Backtab;
    case Qt::Key_Insert: return THexKey::Insert;
    case Qt::Key_Delete: return THexKey::Delete;
    case Qt::Key_Backspace: return THexKey::Backspace;
    case Qt::Key_T: return THexKey::LetterT;
    case Qt::Key_Shift: return THexKey::Shift;
    case Qt::Key_Alt: return THexKey::Alt;
    default: return THexKey::Other;
    }
}

TKeyPress Translate(const QKeyEvent *e)
{
    TKeyPress key{KeyOf(e->key()), ModifiersOf(e), 0};
    // Platforms disagree whether pressing Shift already counts as holding it.
    if (key.Key == THexKey::Shift)
        key.Modifiers |= kmShift;
    const int digit = MainDigit(e);
    if (key.Key == THexKey::Other && digit >= 0) {
        key.Key = THexKey::Digit;
        key.Digit = digit;
    }
    return key;
}

} // namespace

void THexEditor::Guarded(const std::function<void()> &action)
{
    try {
        action();
    } catch (const EHexEditorError &error) {
        QMessageBox::critical(this, QGuiApplication::applicationDisplayName(), QString::fromUtf8(error.what()));
    }
}

bool THexEditor::event(QEvent *e)
{
    // Tab stays in the control while WantTabs is set; otherwise it moves the focus on.
    if (e->type() == QEvent::KeyPress && WantTabs()) {
        auto *key = static_cast<QKeyEvent *>(e);
        if (key->key() == Qt::Key_Tab || key->key() == Qt::Key_Backtab) {
            keyPressEvent(key);
            return true;
        }
    }
    return QAbstractScrollArea::event(e);
}

void THexEditor::keyPressEvent(QKeyEvent *e)
{
    if (HandleAltEntry(e))
        return;
    Guarded([this, e] {
        if (FModel.KeyDown(Translate(e)) || GridKey(e))
            return;
        const QString text = e->text();
        const bool typed = !text.isEmpty() && text.at(0).isPrint() &&
                           !(e->modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier));
        if (!typed) {
            e->ignore(); // Escape, Return and the like belong to the hosting window
            return;
        }
        for (char32_t c : text.toUcs4())
            FModel.TypeChar(c);
    });
}

// Alt plus a decimal code on the numeric keypad enters that code, as the character arrives when
// Alt is let go.
bool THexEditor::HandleAltEntry(QKeyEvent *e)
{
    const bool keypadDigit = (e->modifiers() & Qt::KeypadModifier) && e->key() >= Qt::Key_0 && e->key() <= Qt::Key_9;
    if (!(e->modifiers() & Qt::AltModifier) || !keypadDigit)
        return false;
    FAltCode = (std::max(FAltCode, 0) * 10 + (e->key() - Qt::Key_0)) % 1000;
    return true;
}

bool THexEditor::GridKey(QKeyEvent *e)
{
    if (e->modifiers() != Qt::ControlModifier)
        return false;
    switch (e->key()) {
    case Qt::Key_Up: SetTopRow(TopRow() - 1); return true;
    case Qt::Key_Down: SetTopRow(TopRow() + 1); return true;
    case Qt::Key_Left:
        FModel.MoveTo({2, FModel.Current().Row}, {false, false});
        return true;
    default: return false;
    }
}

void THexEditor::keyReleaseEvent(QKeyEvent *e)
{
    if (e->isAutoRepeat())
        return;
    const THexKey key = KeyOf(e->key());
    FModel.KeyUp(key);
    if (key == THexKey::Alt && FAltCode >= 0) {
        const char32_t c = OemChar(static_cast<uint8_t>(FAltCode));
        FAltCode = -1;
        Guarded([this, c] { FModel.TypeChar(c); });
    }
}

void THexEditor::mousePressEvent(QMouseEvent *e)
{
    if (e->button() != Qt::LeftButton)
        return;
    TCell cell;
    if (!CellAt(e->position().toPoint(), cell, false))
        cell = {-1, -1};
    FModel.MousePress(cell, false);
}

void THexEditor::mouseDoubleClickEvent(QMouseEvent *e)
{
    if (e->button() != Qt::LeftButton)
        return;
    TCell cell;
    if (!CellAt(e->position().toPoint(), cell, false))
        cell = {-1, -1};
    FModel.MousePress(cell, true);
}

void THexEditor::mouseMoveEvent(QMouseEvent *e)
{
    TCell cell;
    if ((e->buttons() & Qt::LeftButton) && CellAt(e->position().toPoint(), cell, true))
        FModel.MouseDrag(cell);
}

void THexEditor::mouseReleaseEvent(QMouseEvent *e)
{
    if (e->button() == Qt::LeftButton)
        FModel.MouseRelease();
}

void THexEditor::focusInEvent(QFocusEvent *e)
{
    QAbstractScrollArea::focusInEvent(e);
    viewport()->update();
}

void THexEditor::focusOutEvent(QFocusEvent *e)
{
    QAbstractScrollArea::focusOutEvent(e);
    FModel.FocusLost();
    viewport()->update();
}
