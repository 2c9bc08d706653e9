// The tools window "PRAVEX Tools": the terminal log and the voltage chart the readout fills, the CSV and
// picture exports, and the COM port settings START uses. Created hidden at start-up; closing only hides it.
#pragma once

#include "TevChart.h"
#include "common/TevFormStorage.h"
#include "readout/ReadoutSinks.h"

#include <QComboBox>
#include <QImage>
#include <functional>

class QAction;
class QCheckBox;
class QFileDialog;
class QGroupBox;
class QLabel;
class QMenu;
class QPushButton;
class QTabWidget;
class QTextEdit;
class RecordingSet;
class TTevComPort;

// An editable combo box that tells before its list opens, so the list can be filled then.
class TDropDownComboBox : public QComboBox {
    Q_OBJECT
public:
    using QComboBox::QComboBox;
    std::function<void(QObject* Sender)> OnDropDown;
    void showPopup() override;
};

// The monitor's settings branch and the values the two windows share.
inline const QString PravexKey = QStringLiteral("Software\\Pravex");

class TfrmDodatki : public TTevForm, public ReadoutLog, public ReadoutChart {
    Q_OBJECT
public:
    explicit TfrmDodatki(QWidget* parent = nullptr);
    ~TfrmDodatki() override;

    // Where the port list and the CSV rows come from: the main window's serial component and rows.
    void SetComPortSource(TTevComPort* port) { FComPort = port; }
    void SetCsvRowsSource(std::function<QStringList()> rows) { FCsvRows = std::move(rows); }
    // Runs a file dialog; true when the user chose a file. Tests answer in place of a person.
    std::function<bool(QFileDialog* dialog)> ExecuteDialog;

    // ReadoutLog, ReadoutChart.
    void entryAdded(const QString& text, TColor colour) override;
    void entriesCleared() override;
    void addPoint(double x, double y) override;
    void clearPoints() override;
    void setAxisRange(double minimum, double maximum) override;

    // Handlers.
    void BitBtn1Click();
    void Zapiszwykresdopliku1Click();
    void CheckBox1Click();
    void CheckBox2Click();
    void cbxComPortDropDown();
    void Button1Click();
    void cbComPortAutoDetectClick();
    void OpenRecording1Click();
    // Opens recordings in the chart beside the live series (pravex --open, the file dialog).
    void OpenRecordings(const QStringList& files);

    // Controls, named as the window's design names them.
    QTabWidget* PageControl;
    QWidget* AdvTabSheet1;
    QLabel* Label1;
    QTextEdit* Memo3;
    QPushButton* BitBtn1;
    QWidget* AdvTabSheet2;
    TTevChart* Chart1;
    QCheckBox* CheckBox1;
    QCheckBox* CheckBox2;
    QWidget* Ustawienia;
    QGroupBox* GroupBox1;
    QCheckBox* cbComPortAutoDetect;
    TDropDownComboBox* cbxComPort;
    QPushButton* Button1;
    QMenu* AdvPopupMenu1;
    QAction* Zapiszwykresdopliku1;
    QAction* OpenRecording1;
    QAction* CloseRecordings1;
    QAction* AlignAtStart1;
    QAction* WallClock1;
    QLabel* RecordingStatus;
    QPushButton* RecordingCancel;
    QFileDialog* OpenDialog1;
    RecordingSet* Recordings1;
    QFileDialog* SaveDialog1;
    QFileDialog* SavePictureDialog1;
    TTevFormStorage* TevFormStorage1;

    // CSV rows as the file holds them: each row and CR LF, one byte per character (ISO-8859-1).
    static QByteArray CsvBytes(const QStringList& rows);
    // JPEG of an image at the given quality; empty on failure.
    static QByteArray EncodeJpeg(const QImage& image, int quality);
    // Writes through a temporary file in the same folder that then replaces the target, so a failed
    // write leaves an existing file as it was. Returns an empty text or the failure's text.
    static QString WriteFileReplacing(const QString& path, const QByteArray& bytes);

protected:
    void resizeEvent(QResizeEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    bool runDialog(QFileDialog* dialog, const QString& folder);
    void layoutChartTab();
    void setUpRecordings();
    void layoutRecordingBar();

    TTevComPort* FComPort = nullptr;
    std::function<QStringList()> FCsvRows;
};
