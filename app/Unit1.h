// The main window "PRAVEX": the live readout, the START/STOP session, the connection indicator and the
// tools button. It owns the serial component, the adapter watcher and the readout, and ends the program
// when it closes.
#pragma once

#include "ConnectionReport.h"
#include "LowBatteryNotice.h"
#include "TevLedDisplay.h"
#include "common/Maker.h"
#include "common/TevFormStorage.h"
#include "ftdi/TevFT232a.h"
#include "readout/ReadoutSinks.h"
#include "readout/StatusReadout.h"
#include "serial/TevComPort.h"

#include <QTimer>

class QFrame;
class QLabel;
class QPushButton;
class TfrmDodatki;

// The maker's line under the readout, and the address it opens.
inline const QString MakerCaption = QStringLiteral("PRAVEX battery monitor");

class TForm1 : public TTevForm, public LowBatBlink {
    Q_OBJECT
public:
    // The tools window is the program's second window; the main window shows it and feeds it.
    explicit TForm1(QWidget* parent = nullptr);
    ~TForm1() override;

    // Links the tools window (created right after this one) and finishes loading the components.
    void SetToolsWindow(TfrmDodatki* tools);
    TfrmDodatki* ToolsWindow() const { return frmDodatki; }

    // Handlers.
    void FormCreate();
    void FormDestroy();
    void Button1Click();
    void TevComPort3Connected(QObject* Sender);
    void TevComPort3Disconnected(QObject* Sender);
    void TevComPort3RxString(QObject* Sender, const QString& ABuf);
    void TevComPort3ComError(QObject* Sender, int Error, const QString& Desc);
    void tmrLowBatTimer();
    void TevFT232aDetectUSB(QObject* Sender, bool InOut, TFTOrvakDefListFlags& OrvakFTList, int& DevCount,
                            QString& ActiveSerial, const QString& NewPort);
    void BitBtn1Click();
    void lbWebMouseEnter();
    void lbWebMouseLeave();
    void lbWebClick();

    // LowBatBlink.
    void startBlinking() override;
    void stopBlinking() override;

    // Program-wide values.
    const QStringList& CsvRows() const { return FReadout.csvRows(); }
    qint64 CsvCounter() const { return FReadout.csvCounter(); }
    bool ManualPortMode() const { return FManualPortMode; }
    StatusReadout& Readout() { return FReadout; }
    // Why the last START's port did not open or went away; empty while all is well.
    QString ConnectionProblem() const { return FConnectionReport.text(); }
    LowBatteryNotice& LowBatNotice() { return FLowBatNotice; }
    // Opens a web address; tests see the address instead.
    std::function<void(const QString& url)> OpenUrl;

    // Controls and components, named as the window's design names them.
    QPushButton* Button1;
    QLabel* Panel4;
    QPushButton* BitBtn1;
    QFrame* Panel5;
    QLabel* Label2;
    TTevLedDisplay* RzLEDDisplay1;
    QLabel* lbLowBat;
    QLabel* Label4;
    QLabel* Label1;
    QLabel* lbDCDC;
    QLabel* lbWeb;
    QTimer* tmrLowBat;
    TTevComPort* TevComPort3;
    TTevFT232a* TevFT232a;
    TTevFormStorage* TevFormStorage1;

protected:
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void applyReadout();
    void setPanelColour(QLabel* panel, const QColor& colour);
    void showConnectionReport();

    TfrmDodatki* frmDodatki = nullptr;
    StatusReadout FReadout;
    ConnectionReport FConnectionReport;
    LowBatteryNotice FLowBatNotice;
    bool FManualPortMode = false;
    bool FWebPressed = false; // a left press on the web label, not yet released
};
