#include "AboutBox.h"

#include "ProgramVersion.h"
#include "common/Maker.h"

#include <QAction>
#include <QMessageBox>
#include <QPointer>
#include <QWidget>

void AddAboutTo(QWidget* window, QWidget* menuOn) {
    auto* about = new QAction(QStringLiteral("About PRAVEX..."), window);
    about->setObjectName(QStringLiteral("actAbout"));
    about->setShortcut(QKeySequence(Qt::Key_F1));
    about->setShortcutContext(Qt::WindowShortcut);
    QObject::connect(about, &QAction::triggered, window, [window] { ShowAbout(window); });
    window->addAction(about);
    menuOn->addAction(about);
    menuOn->setContextMenuPolicy(Qt::ActionsContextMenu);
}

void ShowAbout(QWidget* parent) {
    static QPointer<QMessageBox> shown;
    if (!shown) {
        shown = new QMessageBox(parent);
        shown->setObjectName(QStringLiteral("AboutBox"));
        shown->setAttribute(Qt::WA_DeleteOnClose);
        shown->setWindowTitle(QStringLiteral("About PRAVEX"));
        shown->setIcon(QMessageBox::Information);
        shown->setTextFormat(Qt::RichText);
        shown->setTextInteractionFlags(Qt::TextBrowserInteraction);
        shown->setText(QStringLiteral("<b>PRAVEX battery monitor</b><br>Version %1<br>MIT licence<br>"
                                      "<a href=\"%2\">%2</a>")
                           .arg(QString::fromLatin1(PravexVersion()).toHtmlEscaped(), MakerWebAddress));
        shown->setStandardButtons(QMessageBox::Close);
        shown->setModal(false);
    }
    shown->show();
    shown->raise();
    shown->activateWindow();
}
