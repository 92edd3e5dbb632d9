#include "ui/help_form.h"

#include <QTextBrowser>
#include <QUrl>
#include <QVBoxLayout>

namespace fs = std::filesystem;

fs::path HelpFilePath(const fs::path &programFile)
{
    const fs::path folder = programFile.parent_path();
    for (const fs::path &candidate : {folder / "Korvel.html", folder / ".." / "share" / "doc" / "korvel" / "Korvel.html"}) {
        std::error_code ec;
        if (fs::is_regular_file(candidate, ec))
            return candidate.lexically_normal();
    }
    return {};
}

THelpForm::THelpForm(QWidget *parent) : QWidget(parent, Qt::Window)
{
    setWindowTitle("Korvel Help");
    resize(760, 620);
    Browser = new QTextBrowser(this);
    Browser->setOpenExternalLinks(true);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(Browser);
}

void THelpForm::ShowHelp(const fs::path &file)
{
    if (file.empty())
        Browser->setHtml("<p>The manual Korvel.html was not found beside the program nor in "
                         "&lt;prefix&gt;/share/doc/korvel/.</p>");
    else
        Browser->setSource(QUrl::fromLocalFile(QString::fromStdString(file.string())));
    Browser->moveCursor(QTextCursor::Start);
    show();
    raise();
    activateWindow();
}
