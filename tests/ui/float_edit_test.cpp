#include "ui/float_edit.h"

#include "modal_answer.h"

#include <QApplication>
#include <QClipboard>
#include <QKeyEvent>
#include <QLocale>
#include <QMenu>
#include <QTest>
#include <QVBoxLayout>
#include <cmath>
#include <gtest/gtest.h>
#include <limits>
#include <memory>

namespace {

// Closes every modal box that shows up while it lives and keeps their texts.
class TModalWatch {
public:
    TModalWatch()
    {
        QObject::connect(&Poll, &QTimer::timeout, [this] {
            if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
                Texts << box->text();
                box->close();
            }
        });
        Poll.start(10);
    }
    QStringList Texts;

private:
    QTimer Poll;
};

bool WaitForFocus(QWidget *widget)
{
    for (int i = 0; i < 200 && !widget->hasFocus(); ++i)
        QTest::qWait(10);
    return widget->hasFocus();
}

// A field and a second control to leave it for, in a window; run with "." and with "," as the
// system's decimal separator.
class FloatEdit : public testing::TestWithParam<char> {
protected:
    void SetUp() override
    {
        QLocale::setDefault(GetParam() == '.' ? QLocale(QLocale::English, QLocale::UnitedStates)
                                              : QLocale(QLocale::German, QLocale::Germany));
        Window = std::make_unique<QWidget>();
        auto *layout = new QVBoxLayout(Window.get());
        Edit = new TFloatEdit;
        Other = new QLineEdit;
        layout->addWidget(Edit);
        layout->addWidget(Other);
        Window->show();
        Window->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(Window.get()));
        Edit->setFocus();
        QApplication::processEvents();
    }

    void TearDown() override
    {
        Window.reset();
        QLocale::setDefault(QLocale::system());
    }

    // Test texts are written with "."; this is the field's own notation.
    static QString N(const char *text)
    {
        return QString::fromLatin1(text).replace(QLatin1Char('.'), QLatin1Char(GetParam()));
    }

    void Type(const QString &keys) { QTest::keyClicks(Edit, keys); }

    void Leave()
    {
        QTest::keyClick(Edit, Qt::Key_Tab);
        QApplication::processEvents();
        QApplication::processEvents();
    }

    std::unique_ptr<QWidget> Window;
    TFloatEdit *Edit = nullptr;
    QLineEdit *Other = nullptr;
};

} // namespace

TEST_P(FloatEdit, StartsAtZeroWithOneDecimalInTheSystemNotation)
{
    EXPECT_EQ(Edit->DecimalSeparator(), QLatin1Char(GetParam()));
    EXPECT_EQ(Edit->text(), N("0.0"));
    EXPECT_EQ(Edit->Digits(), 1);
    EXPECT_EQ(Edit->Min(), 0);
    EXPECT_EQ(Edit->Max(), 99999999.9L);
    EXPECT_EQ(Edit->ErrorMessage(), QStringLiteral("[No Text]"));
}

TEST_P(FloatEdit, TypingStopsAtTheDecimalsAndRefusesStrayCharacters)
{
    Edit->SetDigits(3);
    Edit->clear();
    Type(N("1.2345"));
    EXPECT_EQ(Edit->text(), N("1.234"));
    Type(N("x+e .") + QChar(GetParam() == '.' ? ',' : '.'));
    EXPECT_EQ(Edit->text(), N("1.234")) << "letters, signs, blanks and a second separator";

    Edit->setText(N("1.234"));
    Edit->setSelection(2, 3);
    Type(QStringLiteral("5"));
    EXPECT_EQ(Edit->text(), N("1.5")) << "the selection is replaced, not counted";
    Edit->setSelection(1, 1);
    Type(N("."));
    EXPECT_EQ(Edit->text(), N("1.5")) << "a selected separator may be typed over";
    Edit->selectAll();
    Type(QStringLiteral("9"));
    EXPECT_EQ(Edit->text(), QStringLiteral("9"));
}

TEST_P(FloatEdit, DeleteIsNotFilteredAndWideCharactersAreRefused)
{
    Edit->SetDigits(0);
    Edit->setText(QStringLiteral("123"));
    Edit->setCursorPosition(0);
    // X11 reports the Delete key with DEL (0x7F) as its text.
    QTest::keyClick(Edit, Qt::Key_Delete);
    EXPECT_EQ(Edit->text(), QStringLiteral("23"));
    QKeyEvent del(QEvent::KeyPress, Qt::Key_Delete, Qt::NoModifier, QString(QChar(0x7f)));
    QApplication::sendEvent(Edit, &del);
    EXPECT_EQ(Edit->text(), QStringLiteral("3"));

    // A character beyond the 16-bit range arrives as two code units.
    QKeyEvent wide(QEvent::KeyPress, 0, Qt::NoModifier, QString::fromUcs4(U"\U0001D7D9"));
    QApplication::sendEvent(Edit, &wide);
    EXPECT_EQ(Edit->text(), QStringLiteral("3"));
}

TEST_P(FloatEdit, OnlyEditingShortcutsPassWithoutTheFilter)
{
    const auto press = [this](Qt::Key key, Qt::KeyboardModifiers mods, const QString &text) {
        QKeyEvent event(QEvent::KeyPress, key, mods, text);
        QApplication::sendEvent(Edit, &event);
    };
    const Qt::Key separatorKey = GetParam() == '.' ? Qt::Key_Period : Qt::Key_Comma;
    Edit->SetDigits(2);
    Edit->setText(QStringLiteral("1"));
    Edit->setCursorPosition(1);
    press(Qt::Key_A, Qt::MetaModifier, QStringLiteral("a"));
    press(Qt::Key_B, Qt::ControlModifier | Qt::AltModifier, QStringLiteral("b"));
    press(Qt::Key_2, Qt::ControlModifier, QStringLiteral("2"));
    EXPECT_EQ(Edit->text(), QStringLiteral("1"));
    // Some systems report AltGr as Ctrl+Alt: what it types is still filtered, not refused.
    press(separatorKey, Qt::ControlModifier | Qt::AltModifier, N("."));
    press(separatorKey, Qt::ControlModifier | Qt::AltModifier, N("."));
    press(Qt::Key_5, Qt::MetaModifier, QStringLiteral("5"));
    EXPECT_EQ(Edit->text(), N("1.5"));
    QTest::keyClick(Edit, Qt::Key_A, Qt::ControlModifier);
    EXPECT_EQ(Edit->selectedText(), N("1.5")) << "select all still works";
}

TEST_P(FloatEdit, MinusOnlyWithANegativeMinimumAndOnlyFirst)
{
    Edit->SetMin(1);
    Edit->clear();
    Type(QStringLiteral("-5-"));
    EXPECT_EQ(Edit->text(), QStringLiteral("5"));
    QTest::keyClick(Edit, Qt::Key_Home);
    Type(QStringLiteral("-"));
    EXPECT_EQ(Edit->text(), QStringLiteral("5"));

    Edit->SetMin(-10);
    Edit->clear();
    Type(QStringLiteral("-"));
    EXPECT_EQ(Edit->text(), QStringLiteral("-0"));
    EXPECT_EQ(Edit->selectionStart(), 1);
    EXPECT_EQ(Edit->selectedText(), QStringLiteral("0"));
    Type(QStringLiteral("5-"));
    EXPECT_EQ(Edit->text(), QStringLiteral("-5"));
    QTest::keyClick(Edit, Qt::Key_Home);
    Type(QStringLiteral("-"));
    EXPECT_EQ(Edit->text(), QStringLiteral("-5"));

    Edit->setText(QStringLiteral("7"));
    QTest::keyClick(Edit, Qt::Key_Home);
    Type(QStringLiteral("-"));
    EXPECT_EQ(Edit->text(), QStringLiteral("-7"));
}

TEST_P(FloatEdit, ALoneSeparatorCompletesAndNoDecimalsRefuseIt)
{
    Edit->SetDigits(2);
    Edit->clear();
    Type(N("."));
    EXPECT_EQ(Edit->text(), N("0.0"));
    EXPECT_EQ(Edit->selectionStart(), 2);
    EXPECT_EQ(Edit->selectedText(), QStringLiteral("0"));
    Type(QStringLiteral("75"));
    EXPECT_EQ(Edit->text(), N("0.75"));

    Edit->SetDigits(0);
    Edit->setText(QStringLiteral("12"));
    Type(N("."));
    EXPECT_EQ(Edit->text(), QStringLiteral("12"));
}

TEST_P(FloatEdit, PastedTextReadsLenientlyButRevertsOnExit)
{
    Edit->SetDigits(3);
    Edit->SetMax(999);
    Edit->SetValue(3);
    Other->setFocus();
    Edit->setFocus();
    QApplication::clipboard()->setText(QStringLiteral("12a"));
    Edit->selectAll();
    QTest::keyClick(Edit, Qt::Key_V, Qt::ControlModifier);
    ASSERT_EQ(Edit->text(), QStringLiteral("12a"));
    EXPECT_EQ(Edit->Value(), 12);
    Leave();
    EXPECT_EQ(Edit->text(), N("3.000"));
    EXPECT_TRUE(WaitForFocus(Edit));
    EXPECT_EQ(Edit->selectedText(), Edit->text());
}

TEST_P(FloatEdit, OutOfRangeEntryRevertsKeepsTheFocusAndSpeaksOnlyWhenAsked)
{
    Edit->SetDigits(3);
    Edit->SetMin(1);
    Edit->SetMax(999);
    Edit->SetValue(5);
    Other->setFocus();
    Edit->setFocus();
    Edit->selectAll();
    TModalWatch boxes;
    Type(QStringLiteral("1500"));
    Leave();
    EXPECT_EQ(Edit->text(), N("5.000"));
    EXPECT_TRUE(WaitForFocus(Edit));
    EXPECT_EQ(Edit->selectedText(), Edit->text());
    EXPECT_TRUE(boxes.Texts.isEmpty());

    Edit->SetErrorMessage(QStringLiteral("Out of range"));
    Edit->selectAll();
    Type(QStringLiteral("0"));
    Leave();
    EXPECT_EQ(boxes.Texts, QStringList{QStringLiteral("Out of range")});
    EXPECT_EQ(Edit->text(), N("5.000"));
    // The offscreen platform does not give the activation back to the window after a modal box;
    // a window manager does, and the focus then returns to the window's focus widget.
    QTest::qWait(20);
    EXPECT_EQ(Window->focusWidget(), Edit);
    Window->activateWindow();
    EXPECT_TRUE(WaitForFocus(Edit));
    EXPECT_EQ(Edit->selectedText(), Edit->text());
}

TEST_P(FloatEdit, AMenuOrAnotherWindowMeanwhileKeepsTheEntryValue)
{
    Edit->SetDigits(3);
    Edit->SetMax(999);
    Edit->SetValue(5);
    Other->setFocus();
    Edit->setFocus();
    Edit->selectAll();
    Type(QStringLiteral("1500"));
    QMenu menu(Edit);
    menu.addAction(QStringLiteral("Nothing"));
    QTimer::singleShot(20, &menu, &QMenu::close);
    menu.exec(Edit->mapToGlobal(QPoint()));
    ASSERT_TRUE(WaitForFocus(Edit));
    ASSERT_EQ(Edit->text(), QStringLiteral("1500"));
    Leave();
    EXPECT_EQ(Edit->text(), N("5.000")) << "the value from before the menu comes back";

    Edit->selectAll();
    Type(QStringLiteral("2000"));
    QWidget elsewhere;
    elsewhere.show();
    elsewhere.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&elsewhere));
    Window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(Window.get()));
    ASSERT_TRUE(WaitForFocus(Edit));
    Leave();
    EXPECT_EQ(Edit->text(), N("5.000")) << "the value from before the other window comes back";

    ASSERT_TRUE(WaitForFocus(Edit));
    Window->hide();
    Edit->SetValue(7);
    Window->show();
    Window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(Window.get()));
    // The offscreen platform does not hand the focus to a window shown again by itself.
    QApplication::setActiveWindow(Window.get());
    ASSERT_TRUE(WaitForFocus(Edit));
    Edit->selectAll();
    Type(QStringLiteral("3000"));
    Leave();
    EXPECT_EQ(Edit->text(), N("7.000")) << "a window shown again is a new entry";
}

TEST_P(FloatEdit, AValidEntryIsFormattedOnExit)
{
    Edit->SetDigits(3);
    Edit->SetMin(-10);
    Edit->selectAll();
    Type(QStringLiteral("-"));
    Type(N("7.5"));
    Leave();
    EXPECT_EQ(Edit->text(), N("-7.500"));
    EXPECT_TRUE(Other->hasFocus());
    EXPECT_EQ(Edit->Value(), -7.5L);
}

TEST_P(FloatEdit, EscapeRestoresTheEntryValueSelected)
{
    Edit->SetDigits(2);
    Edit->SetValue(4.25L);
    Other->setFocus();
    Edit->setFocus();
    Edit->selectAll();
    Type(QStringLiteral("123"));
    QTest::keyClick(Edit, Qt::Key_Escape);
    EXPECT_EQ(Edit->text(), N("4.25"));
    EXPECT_EQ(Edit->selectedText(), Edit->text());
}

TEST_P(FloatEdit, RangeSettersRefuseAnInvertedRange)
{
    Edit->SetMax(3);
    TModalSeen seen;
    AnswerNextModal(seen);
    Edit->SetMin(5);
    EXPECT_EQ(seen.Text, QStringLiteral("Min-Value has to be less than or equal to Max-Value !"));
    EXPECT_EQ(Edit->Min(), 3);

    Edit->SetMin(2);
    TModalSeen again;
    AnswerNextModal(again);
    Edit->SetMax(1);
    EXPECT_EQ(again.Text, QStringLiteral("Max-Value has to be greater than or equal to Min-Value !"));
    EXPECT_EQ(Edit->Max(), 2);
    EXPECT_EQ(Edit->text(), N("2.0")) << "the value follows the range";
}

TEST_P(FloatEdit, AssignedValuesAreClampedAndFormattedToEighteenDigits)
{
    Edit->SetDigits(25);
    EXPECT_EQ(Edit->Digits(), 18);
    Edit->SetValue(1.0L / 3);
    EXPECT_EQ(Edit->text(), N("0.333333333333333333"));
    Edit->SetValue(99999999.9L);
    EXPECT_EQ(Edit->text(), N("99999999.900000000000000000")) << "18 significant digits, then zeros";
    Edit->SetValue(1.0L / 3);
    Edit->SetDigits(2);
    EXPECT_EQ(Edit->text(), N("0.33"));

    Edit->SetMax(1e30L);
    Edit->SetValue(1e20L);
    EXPECT_EQ(Edit->text(), N("1.00000000000000000E+20"));

    Edit->SetMin(-1);
    Edit->SetValue(-0.001L);
    EXPECT_EQ(Edit->text(), N("0.00")) << "no negative zero";
    Edit->SetValue(std::numeric_limits<long double>::quiet_NaN());
    EXPECT_EQ(Edit->text(), N("-1.00"));

    Edit->SetErrorMessage(QStringLiteral("Too big"));
    TModalSeen seen;
    AnswerNextModal(seen);
    Edit->SetValue(1e31L);
    EXPECT_EQ(seen.Text, QStringLiteral("Too big"));
    EXPECT_EQ(Edit->Value(), 1e30L);
}

TEST_P(FloatEdit, ReadingTheTextFallsBackToZeroOrMin)
{
    Edit->SetMin(-5);
    Edit->setText(QStringLiteral("-"));
    EXPECT_EQ(Edit->Value(), 0);
    Edit->setText(N("."));
    EXPECT_EQ(Edit->Value(), 0);
    Edit->setText(QStringLiteral("abc"));
    EXPECT_EQ(Edit->Value(), 0);
    Edit->setText(QStringLiteral("1e3"));
    EXPECT_EQ(Edit->Value(), 1000);
    Edit->setText(QStringLiteral("1e"));
    EXPECT_EQ(Edit->Value(), -5) << "what does not convert reads as Min";
    Edit->setText(QStringLiteral("-1e9"));
    EXPECT_EQ(Edit->Value(), -5);
    Edit->setText(N("1.2.3"));
    EXPECT_EQ(Edit->Value(), -5);
}

INSTANTIATE_TEST_SUITE_P(Separators, FloatEdit, testing::Values('.', ','),
                         [](const testing::TestParamInfo<char> &info) {
                             return std::string(info.param == '.' ? "Point" : "Comma");
                         });
