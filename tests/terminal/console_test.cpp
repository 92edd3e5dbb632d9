#include "desktop/mono_fonts.h"
#include "paint_counter.h"
#include "terminal/console.h"

#include <QApplication>
#include <QFontDatabase>
#include <QImage>
#include <QScreen>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>
#include <iostream>
#include <string>

namespace {

// A console with a known cell font, shown and focused, as the terminal window holds it.
class ConsoleTest : public testing::Test {
protected:
    void SetUp() override
    {
        TFixedFont font;
        font.setFamily(QStringLiteral("Liberation Mono"));
        font.setPixelSize(14);
        font.SetBkColor(Qt::white);
        font.SetColor(Qt::black);
        Console.SetFont(font);
        Console.resize(400, 200);
        Console.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&Console));
        Console.activateWindow();
        Console.setFocus();
        QApplication::processEvents();
    }

    std::string Row(int row) const
    {
        std::string text(Console.Cells().Row(row));
        return text.substr(0, text.find_last_not_of(' ') + 1);
    }

    TConsole Console;
};


void LaterClick(QWidget *widget, Qt::Key key, int delay = 20)
{
    QTimer::singleShot(delay, widget, [widget, key] { QTest::keyClick(widget, key); });
}

// Ink (dark pixels) inside one cell of a rendered console.
int InkIn(const QImage &image, const QRect &cell)
{
    int ink = 0;
    for (int y = cell.top(); y <= cell.bottom(); ++y)
        for (int x = cell.left(); x <= cell.right(); ++x)
            if (qGray(image.pixel(x, y)) < 128)
                ++ink;
    return ink;
}

} // namespace

TEST(ConsoleDefaults, MatchTheDocumentedProperties)
{
    TConsole console;
    EXPECT_EQ(console.Cols(), 80);
    EXPECT_EQ(console.Rows(), 25);
    EXPECT_EQ(console.LineBreak(), TConsoleLineBreak::CRLF);
    EXPECT_EQ(console.Options(), coAutoTracking | coCheckBreak | coLazyWrite | coFixedPitchOnly);
    EXPECT_EQ(console.size(), QSize(160, 88));
    EXPECT_EQ(console.Font().family(), CourierFont().family());
    EXPECT_TRUE(QFontInfo(console.Font()).fixedPitch());
    EXPECT_EQ(console.focusPolicy(), Qt::StrongFocus);
}

TEST_F(ConsoleTest, TypedKeysReachTheKeyBufferInOrderAndTheSixtyFifthIsLost)
{
    EXPECT_FALSE(Console.KeyPressed());
    QTest::keyClicks(&Console, QStringLiteral("aZ1"));
    QTest::keyClick(&Console, Qt::Key_Return);
    QTest::keyClick(&Console, Qt::Key_Backspace);
    QTest::keyClick(&Console, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClick(&Console, Qt::Key_Down);
    EXPECT_TRUE(Console.KeyPressed());
    for (char expected : {'a', 'Z', '1', '\r', '\b', '\x01'})
        EXPECT_EQ(Console.ReadKey(), expected);
    EXPECT_FALSE(Console.KeyPressed()) << "scroll keys type nothing";

    for (int i = 0; i < 65; ++i)
        QTest::keyClick(&Console, static_cast<char>('A' + i % 26));
    for (int i = 0; i < 64; ++i)
        ASSERT_EQ(Console.ReadKey(), static_cast<char>('A' + i % 26));
    EXPECT_FALSE(Console.KeyPressed());
}

TEST_F(ConsoleTest, CtrlCAndTheCancelKeyBreakOnlyWithCheckBreak)
{
    QSignalSpy breaks(&Console, &TConsole::CtrlBreakPressed);
    QTest::keyClick(&Console, Qt::Key_C, Qt::ControlModifier);
    QTest::sendKeyEvent(QTest::Click, &Console, Qt::Key_Cancel, QString(), Qt::NoModifier);
    EXPECT_EQ(breaks.count(), 2);
    EXPECT_EQ(Console.ReadKey(), '\x03') << "Ctrl+C is still buffered";
    EXPECT_FALSE(Console.KeyPressed());

    Console.SetOptions(Console.Options() & ~coCheckBreak);
    QTest::keyClick(&Console, Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(breaks.count(), 2);
    EXPECT_EQ(Console.ReadKey(), '\x03');
}

TEST_F(ConsoleTest, CtrlWithTheSymbolsAroundTheLettersTypesTheirControlCodes)
{
    const Qt::KeyboardModifiers shifted = Qt::ControlModifier | Qt::ShiftModifier;
    QTest::keyClick(&Console, Qt::Key_BracketLeft, Qt::ControlModifier);
    QTest::keyClick(&Console, Qt::Key_Backslash, Qt::ControlModifier);
    QTest::keyClick(&Console, Qt::Key_BracketRight, Qt::ControlModifier);
    QTest::keyClick(&Console, Qt::Key_AsciiCircum, shifted);
    QTest::keyClick(&Console, Qt::Key_Underscore, shifted);
    std::string typed;
    while (Console.KeyPressed())
        typed += Console.ReadKey();
    EXPECT_EQ(typed, "\x1b\x1c\x1d\x1e\x1f");

    QTest::keyClicks(&Console, QStringLiteral("ab"));
    QTest::keyClick(&Console, Qt::Key_At, shifted);
    char line[8] = {'#', '#', '#', '#'};
    LaterClick(&Console, Qt::Key_Return); // ends the line should Ctrl+@ not
    ASSERT_EQ(Console.ReadBuf(line, 8), 3) << "Ctrl+@ types NUL, which ends a line";
    EXPECT_EQ(std::string(line, 4), std::string("ab\0#", 4));
}

TEST_F(ConsoleTest, ReadKeyWaitsForATypedKeyAndRefusesANestedRead)
{
    TConsole other;
    std::string nested;
    QTimer::singleShot(20, &Console, [&] {
        for (TConsole *console : {&other, &Console}) {
            try {
                console->ReadKey();
            } catch (const EInvalidOperation &error) {
                nested += error.what();
                nested += ';';
            }
        }
        QTest::keyClick(&Console, Qt::Key_Q);
    });
    EXPECT_EQ(Console.ReadKey(), 'q');
    EXPECT_EQ(nested, "Read already active;Read already active;");

    LaterClick(&other, Qt::Key_W);
    EXPECT_EQ(other.ReadKey(), 'w') << "the reading state ends with the read";
}

TEST_F(ConsoleTest, QuittingTheApplicationEndsAWaitingRead)
{
    QTimer::singleShot(20, [] { QCoreApplication::exit(0); });
    try {
        Console.ReadKey();
        ADD_FAILURE() << "ReadKey returned";
    } catch (const EConsoleError &error) {
        EXPECT_STREQ(error.what(), "WM_Quit received during ReadKey");
    }
    // Let the application's own loop take the quit, so later reads wait again.
    QTimer::singleShot(0, [] { QCoreApplication::exit(0); });
    QCoreApplication::exec();
    LaterClick(&Console, Qt::Key_K);
    EXPECT_EQ(Console.ReadKey(), 'k');
}

TEST_F(ConsoleTest, DestroyingAWaitingConsoleEndsItsRead)
{
    auto *doomed = new TConsole;
    QTimer::singleShot(20, [doomed] { delete doomed; });
    try {
        doomed->ReadKey();
        ADD_FAILURE() << "ReadKey returned";
    } catch (const EConsoleError &error) {
        EXPECT_STREQ(error.what(), "TConsole destroyed during ReadKey");
    }
    LaterClick(&Console, Qt::Key_J);
    EXPECT_EQ(Console.ReadKey(), 'j') << "no read is left active";
}

TEST_F(ConsoleTest, ReadBufEditsEchoesAndStopsAtReturn)
{
    QTimer::singleShot(20, &Console, [this] {
        QTest::keyClicks(&Console, QStringLiteral("abx"));
        QTest::keyClick(&Console, Qt::Key_Backspace);
        QTest::keyClicks(&Console, QStringLiteral("cdefgh"));
        QTest::keyClick(&Console, Qt::Key_Return);
    });
    char line[8] = {};
    ASSERT_EQ(Console.ReadBuf(line, 6), 6);
    EXPECT_EQ(std::string(line, 6), "abcd\r\n") << "room is kept for CR and LF";
    EXPECT_EQ(Row(0), "abcd");
    EXPECT_EQ(Console.Cells().CursorRow(), 1);
    EXPECT_EQ(Console.Cells().CursorCol(), 0);
}

TEST_F(ConsoleTest, ReadBufNeverWritesPastATinyBuffer)
{
    char guard[4] = {'#', '#', '#', '#'};
    LaterClick(&Console, Qt::Key_Return);
    EXPECT_EQ(Console.ReadBuf(guard, 1), 1);
    EXPECT_EQ(std::string(guard, 4), "\r###");

    Console.SetOptions(Console.Options() | coCheckEOF);
    QTimer::singleShot(20, &Console, [this] {
        QTest::keyClick(&Console, Qt::Key_A);
        QTest::keyClick(&Console, Qt::Key_Z, Qt::ControlModifier);
    });
    EXPECT_EQ(Console.ReadBuf(guard, 0), 0);
    EXPECT_EQ(std::string(guard, 4), "\r###");
}

TEST_F(ConsoleTest, AProportionalFontIsRefusedAndTheOldFontKept)
{
    const TFixedFont old = Console.Font();
    TFixedFont proportional;
    proportional.setFamily(QStringLiteral("Liberation Sans"));
    proportional.setPixelSize(20);
    try {
        Console.SetFont(proportional);
        ADD_FAILURE() << "accepted";
    } catch (const EInvalidFont &error) {
        EXPECT_STREQ(error.what(), "TConsole: Liberation Sans is not fixed-pitch");
    }
    EXPECT_EQ(Console.Font().family(), QStringLiteral("Liberation Mono"));
    EXPECT_TRUE(Console.Font() == old);
    EXPECT_EQ(Console.CharWidth(), QFontMetrics(old).averageCharWidth());

    Console.SetOptions(Console.Options() & ~coFixedPitchOnly);
    Console.SetFont(proportional);
    EXPECT_EQ(Console.Font().family(), QStringLiteral("Liberation Sans"));
    EXPECT_EQ(Console.LineHeight(), QFontMetrics(proportional).height() +
                                        std::max(0, QFontMetrics(proportional).leading()));
}

TEST_F(ConsoleTest, ScrollKeysAndScrollBarsMoveTheView)
{
    Console.SetCols(200);
    Console.SetRows(100);
    const int rows = Console.Cells().VisibleRows();
    const int cols = Console.Cells().VisibleCols();
    ASSERT_GT(rows, 2);
    ASSERT_GT(cols, 4);
    QTest::keyClick(&Console, Qt::Key_Down);
    EXPECT_EQ(Console.Cells().ScrollRow(), 1);
    QTest::keyClick(&Console, Qt::Key_PageDown);
    EXPECT_EQ(Console.Cells().ScrollRow(), 1 + rows);
    QTest::keyClick(&Console, Qt::Key_End, Qt::ControlModifier);
    EXPECT_EQ(Console.Cells().ScrollRow(), 100 - rows);
    EXPECT_EQ(Console.verticalScrollBar()->value(), 100 - rows);
    QTest::keyClick(&Console, Qt::Key_Up, Qt::ShiftModifier);
    EXPECT_EQ(Console.Cells().ScrollRow(), 99 - rows);
    QTest::keyClick(&Console, Qt::Key_Home, Qt::ControlModifier);
    EXPECT_EQ(Console.Cells().ScrollRow(), 0);

    QTest::keyClick(&Console, Qt::Key_End);
    EXPECT_EQ(Console.Cells().ScrollCol(), 200 - cols) << "End alone is horizontal";
    EXPECT_EQ(Console.horizontalScrollBar()->value(), 200 - cols);
    QTest::keyClick(&Console, Qt::Key_Left, Qt::ControlModifier);
    EXPECT_EQ(Console.Cells().ScrollCol(), 200 - cols - cols / 2);
    QTest::keyClick(&Console, Qt::Key_Left, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_EQ(Console.Cells().ScrollCol(), 199 - cols - cols / 2) << "Ctrl with Shift is a line";
    QTest::keyClick(&Console, Qt::Key_Home);
    EXPECT_EQ(Console.Cells().ScrollCol(), 0);

    Console.verticalScrollBar()->setValue(7);
    EXPECT_EQ(Console.Cells().ScrollRow(), 7);
    Console.SetRows(3);
    Console.verticalScrollBar()->setValue(1);
    EXPECT_EQ(Console.Cells().ScrollRow(), 0);
    EXPECT_EQ(Console.verticalScrollBar()->value(), 0) << "the bar's spare step snaps back";
}

TEST_F(ConsoleTest, TextIsPaintedInTheCellFontAtItsCells)
{
    Console.SetCols(120);
    Console.resize(120 * Console.CharWidth() + 40, 200);
    QApplication::processEvents();
    Console.PutText("M\r\n\n   M");
    for (int i = 0; i < 5; ++i)
        Console.PutChar('\n');
    Console.PutText("\r" + std::string(100, ' ') + "M");
    QApplication::processEvents();
    const QImage image = Console.viewport()->grab().toImage();
    image.save(QStringLiteral(KORVEL_BINARY_DIR "/console_cells.png"));
    const int w = Console.CharWidth();
    const int h = Console.LineHeight();
    const QRect first(0, 0, w, h);
    EXPECT_GT(InkIn(image, first), 10);
    EXPECT_EQ(InkIn(image, first.translated(w, 0)), 0);
    EXPECT_EQ(InkIn(image, first.translated(0, h)), 0);
    EXPECT_EQ(InkIn(image, first.translated(3 * w, 2 * h)), InkIn(image, first));
    EXPECT_EQ(InkIn(image, first.translated(100 * w, 7 * h)), InkIn(image, first))
        << "glyphs stay on the cell grid far along a row";
    EXPECT_EQ(InkIn(image, first.translated(99 * w, 7 * h)), 0);
}

TEST_F(ConsoleTest, TheUnderlineCursorShowsWhileReadingOrFullTime)
{
    Console.PutText("ab");
    QApplication::processEvents();
    const QRect underline(2 * Console.CharWidth(), 0, Console.CharWidth(), Console.LineHeight());
    EXPECT_EQ(InkIn(Console.viewport()->grab().toImage(), underline), 0);

    int seen = -1;
    QTimer::singleShot(20, &Console, [&] {
        seen = InkIn(Console.viewport()->grab().toImage(), underline);
        QTest::keyClick(&Console, Qt::Key_X);
    });
    Console.ReadKey();
    EXPECT_EQ(seen, 2 * Console.CharWidth());
    EXPECT_EQ(InkIn(Console.viewport()->grab().toImage(), underline), 0);

    Console.SetOptions(Console.Options() | coFulltimeCursor);
    EXPECT_EQ(InkIn(Console.viewport()->grab().toImage(), underline), 2 * Console.CharWidth());
}

// What the window shows, not a fresh rendering: stale pixels stay visible here.
QImage Shown(TConsole &console)
{
    const QImage window = console.screen()->grabWindow(console.winId()).toImage();
    return window.copy(QRect(console.viewport()->mapTo(&console, QPoint()), console.viewport()->size()));
}

TEST_F(ConsoleTest, TheUnderlineLeavesTheCellTheCursorMovedAwayFrom)
{
    Console.SetOptions(Console.Options() | coFulltimeCursor);
    const int w = Console.CharWidth();
    const QRect cell(3 * w, 0, w, Console.LineHeight());
    Console.PutText("abc");
    QApplication::processEvents();
    ASSERT_EQ(InkIn(Shown(Console), cell), 2 * w);
    for (const char *move : {"\r", "\b"}) {
        Console.PutText(move);
        QApplication::processEvents();
        EXPECT_EQ(InkIn(Shown(Console), cell), 0) << "after " << int(move[0]);
        Console.PutText("abc");
        QApplication::processEvents();
    }
}

TEST_F(ConsoleTest, LazyWritingPaintsOncePerEventLoopTurnNotPerCharacterOrLine)
{
    Console.SetRows(50); // the ring advances for most lines
    TPaintCounter counter;
    Console.viewport()->installEventFilter(&counter);
    std::string text;
    for (int line = 0; line < 400; ++line)
        text += "line " + std::to_string(line) + " of the lazily written text\r\n";
    // Written like the terminal does: what arrived in one tick, then back to the event loop.
    constexpr std::size_t Tick = 4096;
    int ticks = 0;
    for (std::size_t start = 0; start < text.size(); start += Tick, ++ticks) {
        for (std::size_t i = start; i < std::min(start + Tick, text.size()); ++i)
            Console.PutChar(text[i]);
        QApplication::processEvents();
    }
    EXPECT_LE(counter.Paints, 2 * ticks);
    const TConsoleCells &cells = Console.Cells();
    EXPECT_EQ(cells.CursorRow(), 49);
    EXPECT_EQ(cells.ScrollRow(), cells.MaxScrollRow()) << "the view follows the cursor";
    EXPECT_EQ(Row(48), "line 399 of the lazily written text");
    EXPECT_EQ(Row(0), "line 351 of the lazily written text");
}

TEST_F(ConsoleTest, ClearAndProcessControlCodes)
{
    std::string seen;
    Console.SetProcessControlCodes([&](TConsole *sender, const char *buffer, unsigned count) {
        EXPECT_EQ(sender, &Console);
        seen.append(buffer, count);
    });
    Console.PutText("ab\r\n");
    Console.PutChar('c');
    EXPECT_EQ(seen, "ab\r\nc");
    EXPECT_EQ(Row(0), "") << "the handler replaces the built-in writer";

    Console.SetProcessControlCodes(nullptr);
    Console.PutText("x\r\ny\r\nz");
    Console.ScrollTo(0, 1);
    Console.Clear();
    EXPECT_EQ(Row(0), "");
    EXPECT_EQ(Row(2), "");
    EXPECT_EQ(Console.Cells().CursorRow(), 0);
    EXPECT_EQ(Console.Cells().ScrollRow(), 0);
}

TEST_F(ConsoleTest, StandardStreamsGoThroughOneConsoleAtATime)
{
    Console.SetOptions(Console.Options() | coStdOutput | coStdInput);
    std::cout << "out " << 42 << std::flush;
    EXPECT_EQ(Row(0), "out 42");

    TConsole other;
    try {
        other.SetOptions(other.Options() | coStdInput);
        ADD_FAILURE() << "second standard input accepted";
    } catch (const EConsoleError &error) {
        EXPECT_STREQ(error.what(), "TConsole.SetOptions: Standard Input is already open");
    }
    EXPECT_FALSE(other.Options() & coStdInput);

    QTimer::singleShot(20, &Console, [this] {
        QTest::keyClicks(&Console, QStringLiteral("typed"));
        QTest::keyClick(&Console, Qt::Key_Return);
    });
    std::string line;
    std::getline(std::cin, line);
    EXPECT_EQ(line, "typed\r");

    Console.SetOptions(Console.Options() & ~(coStdOutput | coStdInput));
    other.SetOptions(other.Options() | coStdOutput);
    std::cout << "elsewhere" << std::flush;
    other.SetOptions(other.Options() & ~coStdOutput);
    EXPECT_EQ(std::string(other.Cells().Row(0)).substr(0, 9), "elsewhere");
    EXPECT_EQ(Row(0), "out 42typed") << "the echo follows the output";
}
