#include "KeyboardAccess.h"

#include "Unit1.h"
#include "chipwatch/frmFTListU.h"
#include "frmDodatkiU.h"

#include <QCheckBox>
#include <QKeySequence>
#include <QLabel>
#include <QPushButton>
#include <QShortcut>
#include <QTabWidget>
#include <QTextEdit>
#include <algorithm>

namespace {

QShortcut* windowShortcut(QWidget* window, const QKeySequence& keys) {
    auto* s = new QShortcut(keys, window);
    s->setContext(Qt::WindowShortcut);
    return s;
}

} // namespace

QString ReadoutSpokenText(const StatusReadout& readout) {
    QString text = readout.displayCaption().trimmed();
    // Before the first reading the caption holds dashes for digits.
    if (!std::any_of(text.begin(), text.end(), [](QChar c) { return c.isDigit(); }))
        text = QStringLiteral("no reading");
    const QString converter = readout.converterText().trimmed();
    if (!converter.isEmpty() && converter != QLatin1String("--"))
        text += QStringLiteral(", converter ") + converter;
    if (readout.lowBatBlinking())
        text += QStringLiteral(", low battery");
    return text;
}

void SetUpMainWindowKeys(TForm1& form) {
    form.Button1->setAccessibleName(QStringLiteral("Start or stop the measurement"));
    form.BitBtn1->setAccessibleName(QStringLiteral("Tools: log, chart and port settings"));
    form.BitBtn1->setAccessibleDescription(form.BitBtn1->toolTip());
    form.Panel4->setAccessibleDescription(QStringLiteral("Connected port"));
    form.RzLEDDisplay1->setAccessibleName(QStringLiteral("Battery voltage"));
    form.RzLEDDisplay1->setAccessibleDescription(ReadoutSpokenText(form.Readout()));
    form.lbDCDC->setAccessibleDescription(QStringLiteral("DC-DC converter state"));
    form.lbLowBat->setAccessibleName(QStringLiteral("Low battery"));
    form.lbWeb->setAccessibleDescription(QStringLiteral("Opens the maker's web page"));

    QObject::connect(windowShortcut(&form, QKeySequence(Qt::CTRL | Qt::Key_Return)), &QShortcut::activated,
                     &form, [&form] {
                         if (form.Button1->isEnabled())
                             form.Button1->click();
                     });
    QObject::connect(windowShortcut(&form, QKeySequence(Qt::CTRL | Qt::Key_Enter)), &QShortcut::activated,
                     &form, [&form] {
                         if (form.Button1->isEnabled())
                             form.Button1->click();
                     });
    QObject::connect(windowShortcut(&form, QKeySequence(Qt::CTRL | Qt::Key_T)), &QShortcut::activated, &form,
                     [&form] { form.BitBtn1->click(); });
    // The chip watcher never takes the focus when it appears; from here it can be closed without it.
    QObject::connect(windowShortcut(&form, QKeySequence(Qt::Key_Escape)), &QShortcut::activated, &form, [] {
        if (frmFTList && frmFTList->isVisible())
            frmFTList->Image2Click();
    });
}

void SetUpToolsWindowKeys(TfrmDodatki& tools) {
    tools.Memo3->setAccessibleName(QStringLiteral("Log"));
    tools.Chart1->setAccessibleName(QStringLiteral("Voltage chart"));
    tools.PageControl->setAccessibleName(QStringLiteral("Tools"));
    tools.cbxComPort->setAccessibleName(QStringLiteral("Port"));

    QObject::connect(windowShortcut(&tools, QKeySequence::Save), &QShortcut::activated, &tools, [&tools] {
        QWidget* page = tools.PageControl->currentWidget();
        if (page == tools.AdvTabSheet1)
            tools.BitBtn1Click();
        else if (page == tools.AdvTabSheet2)
            tools.Zapiszwykresdopliku1Click();
    });
    QObject::connect(windowShortcut(&tools, QKeySequence(Qt::Key_Escape)), &QShortcut::activated, &tools,
                     [&tools] { tools.close(); });
}
