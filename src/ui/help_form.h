// The help window: the user manual (Korvel.html) opened at its top.
#pragma once
#include <QWidget>

#include <filesystem>

class QTextBrowser;

// Korvel.html beside the program (the build folder), else in the installed documentation folder
// (<prefix>/share/doc/korvel/ for a program in <prefix>/bin); empty when neither exists.
std::filesystem::path HelpFilePath(const std::filesystem::path &programFile);

class THelpForm : public QWidget {
    Q_OBJECT

public:
    explicit THelpForm(QWidget *parent = nullptr);

    // Shows the manual from its top; a missing manual shows where it was looked for.
    void ShowHelp(const std::filesystem::path &file);

    QTextBrowser *Browser;
};
