// Prints the hex editor's key-to-repaint times and resident memory as its document grows.
// With --screenshot FILE it also saves a picture of the control holding 8192 bytes.
#include "editor/hex_editor.h"

#include <QApplication>
#include <QTest>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace {

long ResidentKiB()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stol(line.substr(6));
    return -1;
}

// Grows the document to `size` bytes in 1 MiB steps, so the bytes are never all in memory.
void GrowTo(THexEditor &editor, int64_t size)
{
    std::vector<uint8_t> chunk(1 << 20);
    for (size_t i = 0; i < chunk.size(); ++i)
        chunk[i] = static_cast<uint8_t>(i * 13);
    while (editor.ByteCount() < size) {
        const int64_t n = std::min<int64_t>(static_cast<int64_t>(chunk.size()), size - editor.ByteCount());
        editor.InsertBuffer(chunk.data(), n, editor.ByteCount());
    }
}

// Mean time from a key press until the regions it invalidated have been painted, in
// microseconds; without a key, the time to paint the whole view.
double KeyToRepaint(THexEditor &editor, Qt::Key key, int rounds)
{
    QApplication::processEvents();
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < rounds; ++i) {
        if (key != Qt::Key_unknown)
            QTest::keyClick(&editor, key);
        else
            editor.viewport()->update();
        QApplication::processEvents();
    }
    const auto spent = std::chrono::steady_clock::now() - start;
    return std::chrono::duration<double, std::micro>(spent).count() / rounds;
}

void Measure(THexEditor &editor, const char *label)
{
    editor.SetSelStart(0);
    const double digit = KeyToRepaint(editor, Qt::Key_7, 200);
    const double page = KeyToRepaint(editor, Qt::Key_PageDown, 200);
    const double whole = KeyToRepaint(editor, Qt::Key_unknown, 200);
    std::printf("%-8s typing a digit %7.1f us   Page Down %7.1f us   whole view %7.1f us   resident %6ld KiB\n",
                label, digit, page, whole, ResidentKiB());
}

void Setup(THexEditor &editor)
{
    editor.SetBytesPerColumn(1);
    QFont font("Courier");
    font.setPixelSize(16);
    editor.setFont(font);
    editor.Colors().SetOddColumn(Qt::black);
    editor.Colors().SetEvenColumn(Qt::black);
    editor.resize(760, 400);
    editor.show();
    editor.activateWindow();
    editor.setFocus();
}

int Screenshot(const char *path)
{
    THexEditor editor;
    Setup(editor);
    std::vector<uint8_t> bytes(8192, 0xFF);
    const char text[] = "Korvel hex editor: 8192 bytes\x01\x02";
    std::memcpy(bytes.data() + 0x20, text, sizeof text);
    editor.NewDocument("Temp.Fil");
    editor.InsertBuffer(bytes.data(), 8192, 0);
    editor.SetSelStart(0);
    editor.SetSelEnd(0);
    editor.ChangeByte(0xFF, 0x12, 0x45);
    editor.ChangeByte(0xFF, 0x34, 0x49);
    editor.SetMarker(1, 2);
    if (!QTest::qWaitForWindowExposed(&editor))
        return 1;
    editor.SetSelStart(0x31);
    editor.SetSelEnd(0x46);
    QTest::qWait(200);
    return editor.grab().save(path) ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    if (argc == 3 && std::strcmp(argv[1], "--screenshot") == 0)
        return Screenshot(argv[2]);

    THexEditor editor;
    Setup(editor);
    editor.NewDocument("bench");
    std::printf("resident before loading: %ld KiB\n", ResidentKiB());
    GrowTo(editor, 12 * 1024);
    Measure(editor, "12 KiB");
    for (int64_t mib : {64, 256, 1024}) {
        const auto start = std::chrono::steady_clock::now();
        GrowTo(editor, mib << 20);
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        std::printf("grown to %lld MiB in %.1f s\n", static_cast<long long>(mib), seconds);
        Measure(editor, (std::to_string(mib) + " MiB").c_str());
    }
    return 0;
}
