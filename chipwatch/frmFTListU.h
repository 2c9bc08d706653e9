// The chip watcher window: a small always-on-top tool window in the corner of the screen that lists
// the FTDI adapters the watcher found, shows the active one, and lets the user choose an adapter,
// pulse its reset line, name adapters and set a default adapter. It fades in, and out after a quiet spell.
#pragma once

#include "ChipSettings.h"
#include "common/Maker.h"
#include "ftdi/TevFT232aCheckThreadU.h"

#include <QColor>
#include <QFont>
#include <QPointer>
#include <QString>
#include <QWidget>
#include <cstdint>
#include <functional>

class QAction;
class QFrame;
class QLabel;
class QLineEdit;
class QMenu;
class QPushButton;
class QTimer;
class QTreeWidget;
class QTreeWidgetItem;
class TTevFT232a;

class TfrmFTList : public QWidget {
    Q_OBJECT
public:
    TfrmFTList();
    ~TfrmFTList() override;

    // The watcher and its fields that the window reads at every refresh.
    QPointer<TTevFT232a> TevFt232new;
    TFTOrvakDefListFlags* POrvakFTList = nullptr;
    int* pFTCount = nullptr;
    QString* aSerial = nullptr;
    QString sapp_reg_key;
    bool bMustBeMaxHeight = false;
    std::uint8_t ChosenResetLine = 128;
    QString def_ser;
    QString TempSerial;
    int LastListCount = 0;
    int lvLastIdx = 0;
    int blending = 0;
    // Opens a web address; tests see the address instead.
    std::function<void(const QString& url)> OpenUrl;

    // Controls, named as the form designer named them.
    QFrame* Panel1;
    QLabel* Image1;
    QLabel* Image3;
    QLabel* Label3;
    QLabel* Label4w;
    QLabel* lbListCount;
    QLabel* Label1a;
    QLabel* lbChip;
    QLabel* lbComPort;
    QLabel* Label1b;
    QLabel* lbSerial;
    QLabel* lbDesc;
    QLabel* lbOrvakDesc;
    QLabel* Label2;
    QLabel* Label1;
    QLabel* Label4a;
    QLabel* imgSpinkaOFF;
    QLabel* imgSpinkaON;
    QLabel* Image2;
    QLabel* lbTest;
    QFrame* Panel2;
    QFrame* Panel3;
    QTreeWidget* ListView1;
    QLabel* Image4;
    QLineEdit* edAlias;
    QPushButton* btnSetAlias;
    QMenu* PopupMenu1;
    QAction* Refresh1;
    QAction* N3;
    QAction* Resetpulse1;
    QAction* ResetLine1;
    QAction* N1;
    QAction* Setasdefaultifdiscovered1;
    QAction* Cleardefaultchip1;
    QAction* SetAliasname1;
    QAction* RI1;
    QAction* RTS1;
    QAction* CTS1;
    QAction* DTR1;
    QAction* DSR1;
    QAction* DCD1;
    QTimer* Timer1;
    QTimer* Timer2;
    QTimer* Timer3;
    QTimer* Timer4;
    int Timer1Tag = 0;
    int Timer2Tag = 0;
    int Timer4Tag = 0;

    void RefreshList(TFTOrvakDefListFlags& OrvakFTList, int ListCnt);
    Q_INVOKABLE void MagentaEyeOn();
    Q_INVOKABLE void MagentaEyeOff();
    void PlaceBottomRight();

    // Settings (aliases, default adapter, pin, view).
    QString ReadAlias(const QString& serial) const { return chipwatch::ReadAlias(serial); }
    void WriteAlias(const QString& serial, const QString& alias) const {
        chipwatch::WriteAlias(serial, alias);
    }
    chipwatch::TChipSettings Settings() const { return chipwatch::TChipSettings(sapp_reg_key); }
    void ToggleMiniView();
    bool InfoShort() const;

    // User actions; positions are in ListView1's viewport.
    void Panel1DblClick();
    void ListView1Click(const QPoint& pos);
    void ListView1DblClick(const QPoint& pos);
    void ListView1MouseMove(const QPoint& pos);
    void ListView1MouseLeave();
    void PopupMenu1Popup(const QPoint& pos);
    void Refresh1Click();
    void Resetpulse1Click();
    void ResetLineClick(QAction* line);
    void Setasdefaultifdiscovered1Click();
    void Cleardefaultchip1Click();
    void SetAliasname1Click();
    void btnSetAliasClick();
    void imgSpinkaOFFClick();
    void imgSpinkaONClick();
    void Image2Click();
    void Label4aClick();
    void FadeOut();
    void RestartTimer3();

    void Timer1Timer();
    void Timer2Timer();
    void Timer3Timer();
    void Timer4Timer();

    // Current opacity 0..255 as last set by the fades.
    int Opacity() const { return FOpacity; }
    // Row index under a viewport position whose state image is hit, else -1.
    int StateImageRowAt(const QPoint& pos) const;
    // The rectangle of a row's state image, in viewport coordinates.
    QRect StateImageRect(int row) const;
    int RowState(int row) const;
    // How a cell is drawn: font, text colour and background.
    struct TCellLook {
        QFont font;
        QColor text;
        QColor back;
    };
    TCellLook CellLook(int row, int col) const;
    // The font that makes the text fit the width, from start down to 1 pt at the least.
    QFont ShrinkToFit(const QString& text, const QFont& start, int width) const;
    QString RowSerial(int row) const;

    static constexpr int CollapsedHeight = 51;
    static constexpr int ExpandedHeight = 162;
    static constexpr int MiniWidth = 245;
    static constexpr int FullWidth = 618;
    static constexpr int PrivateFocusMessage = 1374; // WM_USER + 350

protected:
    bool event(QEvent* e) override;
    bool eventFilter(QObject* watched, QEvent* e) override;
    void showEvent(QShowEvent* e) override;
    void closeEvent(QCloseEvent* e) override;
    void resizeEvent(QResizeEvent* e) override;
    void mouseMoveEvent(QMouseEvent* e) override;

private:
    void BuildControls();
    void BuildMenu();
    void LayoutView(bool mini);
    void ApplyHeightRule(const TFTOrvakDefListFlags& list, int count, bool mini);
    void ApplyDefaultChip();
    void SetOpacity(int value);
    void SetHeight(int h);
    void Panel1MouseDown(QMouseEvent* e);
    void SetLabelColour(QLabel* label, const QColor& colour);
    int ClampedCount(int count) const;
    bool Busy() const { return FBusy > 0; }
    void EndBusy();

    int FOpacity = 255;
    bool FHourglass = false;
    bool FShown = false;
    int FBusy = 0;
    bool FDeletePending = false;
    // Panel drag: the press point, and whether the window system took the move over.
    QPoint FDragStart;
    QPoint FDragWindowStart;
    bool FDragArmed = false;
    bool FDragManual = false;
    bool FDragMoved = false; // a click on the emblem that became a drag does not switch the view
    QWidget* FPressed = nullptr;
    bool FWebPressed = false; // a left press on the web address, not yet released
};

// The one window of the process, cleared when it closes.
extern QPointer<TfrmFTList> frmFTList;
// Pinned flag as last read or written ("spinka"; 1 = pinned).
int PinnedFlag();

// Opens or refreshes the window for a watcher's scan result. The references are the watcher's own
// fields, kept by the window for later refreshes.
void ShowChipWatcher(TTevFT232a* watcher, TFTOrvakDefListFlags& records, int& count, QString& activeSerial);
