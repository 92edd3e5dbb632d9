// A hex editor set up as the Edit Buffer window sets it up, loaded with a known document.
#pragma once
#include "desktop/mono_fonts.h"
#include "editor/editor_error.h"
#include "editor/hex_editor.h"

#include <QApplication>
#include <QKeyEvent>
#include <QTest>

#include <gtest/gtest.h>

#include <vector>

class HexEditorFixture : public testing::Test {
protected:
    void SetUp() override
    {
        Editor.SetBytesPerColumn(1);
        QFont font = CourierFont();
        font.setPixelSize(16);
        Editor.setFont(font);
        Editor.Colors().SetOddColumn(Qt::black);
        Editor.Colors().SetEvenColumn(Qt::black);
        Editor.resize(760, 300);
        Editor.show();
        QApplication::setActiveWindow(&Editor);
        Editor.setFocus();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&Editor));
    }

    // Loads the document as the Edit Buffer window does: caret and selection on byte 0.
    void Load(const std::vector<uint8_t> &bytes)
    {
        Editor.NewDocument("Temp.Fil");
        Editor.InsertBuffer(bytes.data(), static_cast<int64_t>(bytes.size()), 0);
        Editor.SetSelStart(0);
        Editor.SetSelEnd(0);
        QApplication::processEvents();
    }

    static std::vector<uint8_t> Counting(size_t n)
    {
        std::vector<uint8_t> bytes(n);
        for (size_t i = 0; i < n; ++i)
            bytes[i] = static_cast<uint8_t>(i);
        return bytes;
    }

    TCell Current() const { return Editor.Model().Current(); }
    void Key(Qt::Key key, Qt::KeyboardModifiers mods = Qt::NoModifier) { QTest::keyClick(&Editor, key, mods); }
    // Keys pressed while Shift stays held down, as a user extends a selection.
    void WithShiftHeld(std::initializer_list<Qt::Key> keys)
    {
        Send(QEvent::KeyPress, Qt::Key_Shift, Qt::ShiftModifier);
        for (Qt::Key key : keys) {
            Send(QEvent::KeyPress, key, Qt::ShiftModifier);
            Send(QEvent::KeyRelease, key, Qt::ShiftModifier);
        }
        Send(QEvent::KeyRelease, Qt::Key_Shift, Qt::NoModifier);
    }
    void Send(QEvent::Type type, Qt::Key key, Qt::KeyboardModifiers mods)
    {
        QKeyEvent event(type, key, mods);
        QApplication::sendEvent(&Editor, &event);
    }
    void Type(const char *text) { QTest::keyClicks(&Editor, text); }
    QPoint CellCentre(int col, int64_t row) const
    {
        return Editor.viewport()->mapTo(&Editor, Editor.CellRect(col, row).center());
    }

    THexEditor Editor;
};
