// The main window's controls as designed and its handlers: start-up, the session button, the connection
// indicator, the low-battery blink, the adapter reports and the tools button.
#include "Unit1.h"

#include "AboutBox.h"
#include "KeyboardAccess.h"
#include "chipwatch/frmFTListU.h"
#include "common/TevTools.h"
#include "frmDodatkiU.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QFrame>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QTabWidget>
#include <QTextEdit>
#include <QToolTip>
#include <QUrl>

namespace {

QFont pixelFont(const char* family, int px, bool bold = false) {
    QFont f(QString::fromLatin1(family));
    f.setPixelSize(px);
    f.setBold(bold);
    return f;
}

void setTextColour(QLabel* label, const QColor& colour) {
    QPalette pal = label->palette();
    pal.setColor(QPalette::WindowText, colour);
    label->setPalette(pal);
}

// The web label reacts on its text only: as wide as the text, whatever it says and however it is drawn.
void fitToText(QLabel* label) {
    label->resize(label->sizeHint().width(), 16);
}

const QColor Grey51(81, 81, 81);
const QColor WebOrange(255, 128, 0);
const QColor WebGrey(128, 128, 128);
const QColor WebHover(64, 159, 255);
const QColor PanelIdle(0, 128, 0);
const QColor PanelConnected(128, 255, 0);

// The tools button's picture: a small chart on a card.
QIcon toolsButtonIcon() {
    QPixmap pm(18, 18);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QColor(0, 128, 255));
    p.setBrush(Qt::white);
    p.drawRect(QRectF(1.5, 1.5, 15, 15));
    p.setPen(QPen(Qt::red, 2));
    p.drawPolyline(QPolygonF({QPointF(3, 13), QPointF(7, 8), QPointF(11, 11), QPointF(15, 4)}));
    return QIcon(pm);
}

} // namespace

TForm1::TForm1(QWidget* parent)
    : TTevForm(parent,
               Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint) {
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(QStringLiteral("PRAVEX"));
    setFont(pixelFont("Tahoma", 11));
    setFixedSize(226, 181);
    setAutoFillBackground(true);
    QPalette black = palette();
    black.setColor(QPalette::Window, Qt::black);
    setPalette(black);

    Button1 = new QPushButton(QStringLiteral("???"), this);
    Button1->setObjectName(QStringLiteral("Button1"));
    Button1->setGeometry(8, 7, 66, 25);
    Button1->setFont(pixelFont("Verdana", 11));
    Button1->setEnabled(false);
    connect(Button1, &QPushButton::clicked, this, [this] { Button1Click(); });

    Panel4 = new QLabel(QStringLiteral("-"), this);
    Panel4->setObjectName(QStringLiteral("Panel4"));
    Panel4->setGeometry(106, 13, 48, 13);
    Panel4->setAlignment(Qt::AlignCenter);
    Panel4->setFont(pixelFont("Verdana", 9));
    Panel4->setAutoFillBackground(true);
    setPanelColour(Panel4, PanelIdle);

    BitBtn1 = new QPushButton(toolsButtonIcon(), QString(), this);
    BitBtn1->setObjectName(QStringLiteral("BitBtn1"));
    BitBtn1->setGeometry(187, 7, 30, 25);
    BitBtn1->setToolTip(QStringLiteral("Additional PVEX tools - charts, terminal, etc"));
    connect(BitBtn1, &QPushButton::clicked, this, [this] { BitBtn1Click(); });

    Panel5 = new QFrame(this);
    Panel5->setObjectName(QStringLiteral("Panel5"));
    Panel5->setGeometry(8, 41, 209, 112);
    Panel5->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    Panel5->setAutoFillBackground(true);
    Panel5->setPalette(black);

    Label2 = new QLabel(QStringLiteral("voltage"), Panel5);
    Label2->setObjectName(QStringLiteral("Label2"));
    Label2->setFont(pixelFont("Verdana", 11));
    setTextColour(Label2, Grey51);
    Label2->move(15, 8);
    Label2->adjustSize();

    RzLEDDisplay1 = new TTevLedDisplay(Panel5);
    RzLEDDisplay1->setObjectName(QStringLiteral("RzLEDDisplay1"));
    RzLEDDisplay1->setGeometry(15, 27, 178, 38);

    lbLowBat = new QLabel(QStringLiteral("Low BAT !"), Panel5);
    lbLowBat->setObjectName(QStringLiteral("lbLowBat"));
    lbLowBat->setFont(pixelFont("Verdana", 11, true));
    setTextColour(lbLowBat, Qt::red);
    lbLowBat->adjustSize();
    lbLowBat->move(193 - lbLowBat->width(), 8);
    lbLowBat->hide();

    Label4 = new QLabel(QStringLiteral("DC-DC"), Panel5);
    Label4->setObjectName(QStringLiteral("Label4"));
    Label4->setFont(pixelFont("Verdana", 15));
    setTextColour(Label4, Grey51);
    Label4->adjustSize();
    Label4->move(15, 92 - Label4->height());

    Label1 = new QLabel(QStringLiteral("converter"), Panel5);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->setGeometry(15, 92, 51, 12);
    Label1->setFont(pixelFont("Verdana", 9));
    Label1->setAlignment(Qt::AlignCenter);
    setTextColour(Label1, Grey51);

    // Right-aligned in a fixed box, so the right edge stays at 193 whatever the state's length.
    lbDCDC = new QLabel(QStringLiteral("--"), Panel5);
    lbDCDC->setObjectName(QStringLiteral("lbDCDC"));
    lbDCDC->setFont(pixelFont("Verdana", 21, true));
    lbDCDC->setAlignment(Qt::AlignRight | Qt::AlignTop);
    lbDCDC->setGeometry(80, 78, 193 - 80, 28);
    setTextColour(lbDCDC, QColor(0, 0, 255));

    lbWeb = new QLabel(this);
    lbWeb->setObjectName(QStringLiteral("lbWeb"));
    lbWeb->setFont(pixelFont("Verdana", 11));
    lbWeb->setCursor(Qt::PointingHandCursor);
    lbWeb->move(8, 159);
    fitToText(lbWeb);
    setTextColour(lbWeb, WebOrange);
    lbWeb->installEventFilter(this);

    tmrLowBat = new QTimer(this);
    tmrLowBat->setObjectName(QStringLiteral("tmrLowBat"));
    tmrLowBat->setInterval(400);
    connect(tmrLowBat, &QTimer::timeout, this, [this] { tmrLowBatTimer(); });

    TevComPort3 = new TTevComPort(this);
    TevComPort3->setObjectName(QStringLiteral("TevComPort3"));
    TevComPort3->SetComPort(QStringLiteral("COM1"));
    TevComPort3->SetBaudRate(QStringLiteral("9600"));
    TevComPort3->SetDataBits(QStringLiteral("8"));
    TevComPort3->SetParityBits(prNone);
    TevComPort3->SetStopBits(sbOneStopBit);
    TevComPort3->SetDoubleCRstring(QStringLiteral("#5A5A#"));
    TevComPort3->SetCheckCmd(QStringLiteral("AT"));
    TevComPort3->OnConnected = [this](QObject* s) { TevComPort3Connected(s); };
    TevComPort3->OnDisconnected = [this](QObject* s) { TevComPort3Disconnected(s); };
    TevComPort3->OnRxString = [this](QObject* s, const QString& b) { TevComPort3RxString(s, b); };
    TevComPort3->OnComError = [this](QObject* s, int e, const QString& d) { TevComPort3ComError(s, e, d); };

    TevFT232a = new TTevFT232a(this);
    TevFT232a->setObjectName(QStringLiteral("TevFT232a"));
    TevFT232a->OnDetectUSB = [this](QObject* s, bool io, TFTOrvakDefListFlags& l, int& n, QString& a,
                                    const QString& p) { TevFT232aDetectUSB(s, io, l, n, a, p); };

    TevFormStorage1 = new TTevFormStorage(this);
    TevFormStorage1->setObjectName(QStringLiteral("TevFormStorage1"));
    TevFormStorage1->SetIniFileName(ApplicationExeIniName);
    TevFormStorage1->SetTypeIniName(TApplicationIniName::asAppIniName);
    TevFormStorage1->SetUseRegistry(true);

    FReadout.setBlink(this);
    AddAboutTo(this, Panel5);
    OpenUrl = [](const QString& url) { QDesktopServices::openUrl(QUrl(url)); };
    OnDestroy = [this](QObject*) { FormDestroy(); };

    // The window is built: the components take over its events, then the create handler runs.
    TevFormStorage1->Loaded();
    TevComPort3->Loaded();
    FormCreate();
    SetUpMainWindowKeys(*this);
}

TForm1::~TForm1() {
    DoDestroy();
    FReadout.setLog(nullptr);
    FReadout.setChart(nullptr);
    FReadout.setBlink(nullptr);
}

void TForm1::SetToolsWindow(TfrmDodatki* tools) {
    frmDodatki = tools;
    FReadout.setLog(tools);
    FReadout.setChart(tools);
    if (tools) {
        tools->SetComPortSource(TevComPort3);
        tools->SetCsvRowsSource([this] { return FReadout.csvRows(); });
    }
}

void TForm1::FormCreate() {
    TevFT232a->SetActive(true);
    lbWeb->setText(MakerCaption);
    fitToText(lbWeb);
    FManualPortMode = false;
    if (!RegReadBool(QStringLiteral("ComPortAutoDetect"), true, PravexKey)) {
        FManualPortMode = true;
        Button1->setEnabled(true);
        Button1->setText(QStringLiteral("START"));
    }
}

void TForm1::FormDestroy() {
    // The rows live in the readout, which goes with the window; nothing else holds them.
}

void TForm1::closeEvent(QCloseEvent* event) {
    TTevForm::closeEvent(event);
    // Closing the main window ends the program, even while the tools window is shown.
    if (event->isAccepted())
        QCoreApplication::quit();
}

void TForm1::Button1Click() {
    if (!FManualPortMode && TevFT232a->FActiveSerial.isEmpty())
        return;
    if (TevComPort3->Connected()) {
        TevComPort3->SetConnected(false);
        TevComPort3->SetActive(false);
        FConnectionReport.stopped();
        Button1->setText(QStringLiteral("START"));
        return;
    }
    FReadout.start();
    FLowBatNotice.sessionStarted();
    QString port;
    if (!frmDodatki || frmDodatki->cbComPortAutoDetect->isChecked())
        port = TevFT232a->GetActiveComPort();
    else
        port = RegReadString(QStringLiteral("naComPort"), QStringLiteral("COM1"), PravexKey);
    TevComPort3->SetComPort(port);
    FConnectionReport.started(port);
    showConnectionReport();
    TevComPort3->SetActive(true);
    TevComPort3->SetConnected(true);
    Button1->setText(QStringLiteral("STOP"));
}

void TForm1::setPanelColour(QLabel* panel, const QColor& colour) {
    QPalette pal = panel->palette();
    pal.setColor(QPalette::Window, colour);
    pal.setColor(QPalette::WindowText, Qt::black);
    panel->setPalette(pal);
}

void TForm1::TevComPort3Connected(QObject*) {
    setPanelColour(Panel4, PanelConnected);
    Panel4->setText(TevComPort3->ComPort());
    FConnectionReport.connected();
    showConnectionReport();
}

void TForm1::TevComPort3Disconnected(QObject*) {
    setPanelColour(Panel4, PanelIdle);
    Panel4->setText(QStringLiteral("-"));
    FConnectionReport.disconnected();
    showConnectionReport();
}

void TForm1::TevComPort3ComError(QObject*, int Error, const QString& Desc) {
    FConnectionReport.error(Error, Desc);
    showConnectionReport();
}

void TForm1::showConnectionReport() {
    // The panel is too small for the reason: it goes where the pointer over the panel finds it, and pops
    // up once at the panel when something has just gone wrong.
    const QString& text = FConnectionReport.text();
    if (Panel4->toolTip() == text)
        return;
    Panel4->setToolTip(text);
    Panel4->setStatusTip(text);
    Panel4->setAccessibleDescription(text);
    if (!text.isEmpty() && isVisible())
        QToolTip::showText(Panel4->mapToGlobal(QPoint(0, Panel4->height())), text, Panel4);
    else if (text.isEmpty())
        QToolTip::hideText();
}

void TForm1::applyReadout() {
    RzLEDDisplay1->SetCaption(FReadout.displayCaption());
    RzLEDDisplay1->SetSegmentOnColor(toQColor(FReadout.litColour()));
    RzLEDDisplay1->SetSegmentOffColor(toQColor(FReadout.unlitColour()));
    if (lbDCDC->text() != FReadout.converterText())
        lbDCDC->setText(FReadout.converterText());
    RzLEDDisplay1->setAccessibleDescription(ReadoutSpokenText(FReadout));
    const QColor converter = toQColor(FReadout.converterColour());
    if (lbDCDC->palette().color(QPalette::WindowText) != converter)
        setTextColour(lbDCDC, converter);
}

void TForm1::TevComPort3RxString(QObject*, const QString& ABuf) {
    const double readingsBefore = FReadout.chartTime();
    FReadout.update(ABuf);
    applyReadout();
    // A low reading that was taken (not garbage) has its voltage on the display.
    if (FReadout.lowBatBlinking() && FReadout.chartTime() != readingsBefore)
        FLowBatNotice.lowBattery(FReadout.displayCaption().trimmed());
}

void TForm1::tmrLowBatTimer() {
    lbLowBat->setVisible(FReadout.toggleLowBatLabel());
}

void TForm1::startBlinking() {
    tmrLowBat->start();
}

void TForm1::stopBlinking() {
    tmrLowBat->stop();
    lbLowBat->hide();
}

void TForm1::TevFT232aDetectUSB(QObject*, bool, TFTOrvakDefListFlags& OrvakFTList, int& DevCount,
                                QString& ActiveSerial, const QString&) {
    if (!ActiveSerial.isEmpty()) {
        ShowChipWatcher(TevFT232a, OrvakFTList, DevCount, ActiveSerial);
        Button1->setText(QStringLiteral("START"));
        Button1->setEnabled(true);
        lbWeb->setText(MakerWebAddress);
        fitToText(lbWeb);
        setTextColour(lbWeb, WebGrey);
    } else {
        Button1->setText(QStringLiteral("off Line"));
        if (!FManualPortMode)
            Button1->setEnabled(false);
    }
}

void TForm1::BitBtn1Click() {
    if (!frmDodatki)
        return;
    QComboBox* box = frmDodatki->cbxComPort;
    if (box->currentText().isEmpty()) {
        box->clear();
        box->addItems(TevComPort3->GetAvailableComPorts());
        if (box->count() > 0)
            box->setCurrentIndex(0);
    }
    const QString stored = RegReadString(QStringLiteral("naComPort"), QStringLiteral("COM1"), PravexKey);
    const int at = box->findText(stored, Qt::MatchExactly);
    box->setCurrentIndex(at);
    if (at < 0)
        box->setEditText(QString());
    SetCheckedSilently(frmDodatki->cbComPortAutoDetect,
                       RegReadBool(QStringLiteral("ComPortAutoDetect"), true, PravexKey));
    frmDodatki->PageControl->setCurrentIndex(1);
    frmDodatki->show();
    frmDodatki->raise();
    frmDodatki->activateWindow();
}

void TForm1::lbWebMouseEnter() {
    QFont f = lbWeb->font();
    f.setBold(true);
    f.setUnderline(true);
    lbWeb->setFont(f);
    setTextColour(lbWeb, WebHover);
    lbWeb->setText(MakerWebAddress);
    fitToText(lbWeb);
}

void TForm1::lbWebMouseLeave() {
    QFont f = lbWeb->font();
    f.setBold(false);
    f.setUnderline(false);
    lbWeb->setFont(f);
    fitToText(lbWeb);
    setTextColour(lbWeb, WebGrey);
}

void TForm1::lbWebClick() {
    if (OpenUrl)
        OpenUrl(MakerWebAddress);
}

bool TForm1::eventFilter(QObject* watched, QEvent* event) {
    if (watched == lbWeb) {
        switch (event->type()) {
        case QEvent::Enter:
            lbWebMouseEnter();
            break;
        case QEvent::Leave:
            lbWebMouseLeave();
            break;
        case QEvent::MouseButtonPress:
            FWebPressed = static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton;
            return true;
        case QEvent::MouseButtonRelease: {
            // Opens once for a left click pressed and released on the label: not for a right click, a
            // press taken away, or the second half of a double click (which comes as no press).
            auto* me = static_cast<QMouseEvent*>(event);
            const bool pressed = FWebPressed;
            FWebPressed = false;
            if (pressed && me->button() == Qt::LeftButton && lbWeb->rect().contains(me->position().toPoint()))
                lbWebClick();
            return true;
        }
        case QEvent::MouseButtonDblClick:
            return true;
        default:
            break;
        }
    }
    return TTevForm::eventFilter(watched, event);
}
