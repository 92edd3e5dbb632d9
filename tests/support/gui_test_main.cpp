// Test main of the GUI tests: one QApplication for the whole run, headless unless told otherwise.
#include <QApplication>
#include <cstdlib>
#include <gtest/gtest.h>

int main(int argc, char **argv)
{
    // Headless, and with Qt's own dialogs: a desktop's file dialog cannot be driven from a test.
    if (!std::getenv("QT_QPA_PLATFORM")) {
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
        unsetenv("QT_QPA_PLATFORMTHEME");
    }
    QApplication app(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
