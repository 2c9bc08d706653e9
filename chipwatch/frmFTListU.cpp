// The chip watcher window: construction, showing and closing, the mouse, and the user's actions on the
// window and its menu. The list rows are in frmFTListRows.cpp, the timers in frmFTListTimers.cpp.
#include "frmFTListU.h"
#include "frmFTListParts.h"

#include "ChipPictures.h"
#include "ChipWatcherKeys.h"
#include "common/TevTools.h"
#include "common/WindowPlaceFit.h"
#include "ftdi/TevFT232a.h"

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QFrame>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMouseEvent>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <QTreeWidget>
#include <QUrl>
#include <QWindow>

using namespace ftlist;

QPointer<TfrmFTList> frmFTList;

namespace {

int g_pinned = 0;

} // namespace

int PinnedFlag() {
    return g_pinned;
}

TfrmFTList::TfrmFTList() : QWidget(nullptr, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint) {
    setObjectName(QStringLiteral("frmFTList"));
    setWindowTitle(QStringLiteral("FTDI Chip watcher"));
    // Never take the focus from the monitor when shown.
    setAttribute(Qt::WA_ShowWithoutActivating);
    setAttribute(Qt::WA_X11NetWmWindowTypeUtility);
    setMouseTracking(true);
    setFont(QFont(QStringLiteral("Tahoma"), 8));
    resize(FullWidth, ExpandedHeight);
    BuildControls();
    BuildMenu();
    SetUpChipWatcherKeys(*this);
    OpenUrl = [](const QString& url) { QDesktopServices::openUrl(QUrl(url)); };
    bMustBeMaxHeight = false;
    ChosenResetLine = 128;
}

TfrmFTList::~TfrmFTList() {
    if (FHourglass)
        QGuiApplication::restoreOverrideCursor();
    if (frmFTList == this)
        frmFTList = nullptr;
    if (TevFt232new && TevFt232new->FfrmList == this)
        TevFt232new->FfrmList = nullptr;
}

void TfrmFTList::SetLabelColour(QLabel* label, const QColor& colour) {
    QPalette pal = label->palette();
    pal.setColor(QPalette::WindowText, colour);
    label->setPalette(pal);
}

void TfrmFTList::BuildControls() {
    auto label = [this](QWidget* parent, const QString& name, const QString& text, QRect geom,
                        const QColor& colour = Qt::white) {
        auto* l = new QLabel(text, parent);
        l->setObjectName(name);
        l->setGeometry(geom);
        SetLabelColour(l, colour);
        l->setMouseTracking(true);
        return l;
    };
    auto picture = [](QWidget* parent, const QString& name, const QPixmap& pm, QPoint at) {
        auto* l = new QLabel(parent);
        l->setObjectName(name);
        l->setPixmap(pm);
        l->setGeometry(QRect(at, pm.size()));
        l->setMouseTracking(true);
        return l;
    };

    Panel1 = new QFrame(this);
    Panel1->setObjectName(QStringLiteral("Panel1"));
    Panel1->setGeometry(0, 0, FullWidth, kPanelHeight);
    Panel1->setFrameStyle(QFrame::Panel | QFrame::Raised);
    Panel1->setLineWidth(1);
    Panel1->setAutoFillBackground(true);
    QPalette black = Panel1->palette();
    black.setColor(QPalette::Window, Qt::black);
    black.setColor(QPalette::Light, QColor(90, 90, 90));
    black.setColor(QPalette::Dark, QColor(20, 20, 20));
    Panel1->setPalette(black);
    Panel1->setMouseTracking(true);

    Image1 =
        picture(Panel1, QStringLiteral("Image1"), chipwatch::EmblemPixmap(chipwatch::kEmblemOrange), {2, 2});
    Image3 =
        picture(Panel1, QStringLiteral("Image3"), chipwatch::EmblemPixmap(chipwatch::kEmblemMagenta), {2, 2});
    Image3->hide();

    Label3 =
        label(Panel1, QStringLiteral("Label3"), QStringLiteral("FTDI watcher"), {54, 3, 80, 14}, kTitleBlue);
    Label4w =
        label(Panel1, QStringLiteral("Label4w"), QStringLiteral("count:"), {54, 18, 38, 14}, kCountGreen);
    Label4w->setFont(QFont(QStringLiteral("Verdana"), 8));
    lbListCount =
        label(Panel1, QStringLiteral("lbListCount"), QStringLiteral("[0]"), {88, 18, 40, 14}, kCountGreen);
    lbListCount->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    QFont bold = font();
    bold.setBold(true);
    lbListCount->setFont(bold);
    lbListCount->hide();
    Label1a = label(Panel1, QStringLiteral("Label1a"), QStringLiteral("active chip on:"), {136, 3, 70, 14});
    Label1a->hide();
    lbChip = label(Panel1, QStringLiteral("lbChip"), QStringLiteral("???"), {138, 3, 70, 14}, kDescBlue);
    lbChip->setAlignment(Qt::AlignHCenter | Qt::AlignVCenter);
    lbComPort =
        label(Panel1, QStringLiteral("lbComPort"), QStringLiteral("COM?"), {132, 16, 102, 24}, kPortActive);
    QFont port(QStringLiteral("Tahoma"), 14);
    port.setBold(true);
    lbComPort->setFont(port);

    Label1b =
        label(Panel1, QStringLiteral("Label1b"), QStringLiteral("serial: "), {250, 4, 40, 14}, kSerialBlue);
    Label1b->setFont(bold);
    lbSerial =
        label(Panel1, QStringLiteral("lbSerial"), QStringLiteral("xxxxxx"), {290, 4, 150, 14}, kSerialBlue);
    lbSerial->setFont(bold);
    lbDesc = label(Panel1, QStringLiteral("lbDesc"), QStringLiteral("desc"), {250, 19, 200, 14}, kDescBlue);
    lbOrvakDesc =
        label(Panel1, QStringLiteral("lbOrvakDesc"), QStringLiteral("desc"), {250, 34, 200, 13}, kDescBlue);
    lbOrvakDesc->setFont(QFont(QStringLiteral("Small Fonts"), 7));
    Label2 = label(Panel1, QStringLiteral("Label2"), QStringLiteral("TevFT232R"), {483, 19, 100, 14},
                   kMakerColour);
    Label2->setFont(QFont(QStringLiteral("Verdana"), 8));
    Label1 = label(Panel1, QStringLiteral("Label1"), QStringLiteral("PRAVEX adapter watch"),
                   {483, 33, 130, 14}, kMakerColour);
    Label4a = label(Panel1, QStringLiteral("Label4a"), MakerWebCaption, {483, 4, 130, 14}, kWebColour);
    Label4a->setFont(QFont(QStringLiteral("Verdana"), 8));
    Label4a->adjustSize();
    Label4a->setToolTip(MakerWebAddress);

    imgSpinkaOFF = picture(Panel1, QStringLiteral("imgSpinkaOFF"), chipwatch::PinOffPixmap(), {454, 10});
    imgSpinkaOFF->setCursor(Qt::PointingHandCursor);
    imgSpinkaOFF->setToolTip(QStringLiteral("Przypnij"));
    imgSpinkaON = picture(Panel1, QStringLiteral("imgSpinkaON"), chipwatch::PinOnPixmap(), {454, 10});
    imgSpinkaON->setCursor(Qt::PointingHandCursor);
    imgSpinkaON->setToolTip(QStringLiteral("Odepnij"));
    imgSpinkaON->hide();
    Image2 = picture(Panel1, QStringLiteral("Image2"), chipwatch::ClosePixmap(), {588, 3});
    Image2->setCursor(Qt::PointingHandCursor);

    lbTest = new QLabel(this);
    lbTest->setObjectName(QStringLiteral("lbTest"));
    lbTest->hide();

    Panel2 = new QFrame(this);
    Panel2->setObjectName(QStringLiteral("Panel2"));
    Panel2->setGeometry(0, kPanelHeight, FullWidth, 1);
    Panel2->setAutoFillBackground(true);
    QPalette white = Panel2->palette();
    white.setColor(QPalette::Window, Qt::white);
    Panel2->setPalette(white);

    Panel3 = new QFrame(this);
    Panel3->setObjectName(QStringLiteral("Panel3"));
    Panel3->setGeometry(0, kPanelHeight + 1, FullWidth, ExpandedHeight - kPanelHeight - 1);
    Panel3->setAutoFillBackground(true);
    QPalette back = Panel3->palette();
    back.setColor(QPalette::Window, kListBack);
    Panel3->setPalette(back);
    Panel3->setMouseTracking(true);

    Image4 = picture(Panel3, QStringLiteral("Image4"), chipwatch::CurvedArrowPixmap(32), {4, 78});
    edAlias = new QLineEdit(Panel3);
    edAlias->setObjectName(QStringLiteral("edAlias"));
    edAlias->setGeometry(40, 83, 121, 21);
    edAlias->setMouseTracking(true);
    btnSetAlias = new QPushButton(QStringLiteral("set"), Panel3);
    btnSetAlias->setObjectName(QStringLiteral("btnSetAlias"));
    btnSetAlias->setGeometry(167, 84, 59, 20);
    btnSetAlias->setMouseTracking(true);

    ListView1 = new QTreeWidget(Panel3);
    ListView1->setObjectName(QStringLiteral("ListView1"));
    ListView1->setGeometry(4, 4, FullWidth - 8, kListHeightCovered);
    ListView1->setColumnCount(6);
    ListView1->setHeaderLabels({QString(), QStringLiteral("Port"), QStringLiteral("Chip"),
                                QStringLiteral("Serial"), QStringLiteral("Description"),
                                QStringLiteral("Orvak description")});
    ListView1->headerItem()->setTextAlignment(2, Qt::AlignHCenter);
    ListView1->headerItem()->setTextAlignment(3, Qt::AlignHCenter);
    ListView1->setRootIsDecorated(false);
    ListView1->setItemsExpandable(false);
    ListView1->setUniformRowHeights(true);
    ListView1->setSelectionMode(QAbstractItemView::SingleSelection);
    ListView1->setSelectionBehavior(QAbstractItemView::SelectRows);
    ListView1->setEditTriggers(QAbstractItemView::NoEditTriggers);
    ListView1->setSortingEnabled(false);
    ListView1->header()->setSectionsClickable(false);
    ListView1->header()->setStretchLastSection(false);
    ListView1->header()->setMinimumSectionSize(1);
    ListView1->setFont(QFont(QStringLiteral("Tahoma"), 9));
    QPalette lp = ListView1->palette();
    lp.setColor(QPalette::Base, Qt::white);
    ListView1->setPalette(lp);
    ListView1->setItemDelegate(new TChipRowDelegate(this));
    ListView1->setContextMenuPolicy(Qt::CustomContextMenu);
    ListView1->viewport()->setMouseTracking(true);
    ListView1->viewport()->installEventFilter(this);
    for (int c = 0; c < 6; ++c)
        ListView1->setColumnWidth(c, kFullColumnWidths[c]);
    connect(ListView1, &QWidget::customContextMenuRequested, this, [this](const QPoint& pos) {
        PopupMenu1Popup(pos);
        PopupMenu1->popup(ListView1->viewport()->mapToGlobal(pos));
    });

    // Mouse handling of the panel group and the small pictures goes through one filter.
    for (QWidget* w : std::initializer_list<QWidget*>{
             Panel1,       Image1,      Image3, Label1a,     lbComPort, Label1b, lbSerial,   Label1,
             Label3,       lbOrvakDesc, lbDesc, lbListCount, Label4w,   lbChip,  Label2,     Label4a,
             imgSpinkaOFF, imgSpinkaON, Image2, Panel3,      Image4,    edAlias, btnSetAlias}) {
        w->installEventFilter(this);
        // Each control answers for itself: a label ignores the mouse, and Qt would hand the same press,
        // move or double click on to Panel1, which drags, collapses and counts activity.
        if (w != Panel1 && w != Panel3)
            w->setAttribute(Qt::WA_NoMousePropagation);
    }

    connect(btnSetAlias, &QPushButton::clicked, this, [this] { btnSetAliasClick(); });
    connect(edAlias, &QLineEdit::textChanged, this, [this] { RestartTimer3(); });
    connect(edAlias, &QLineEdit::returnPressed, this, [this] {
        if (btnSetAlias->isDefault())
            btnSetAlias->click();
    });

    Timer1 = new QTimer(this);
    Timer1->setInterval(10);
    connect(Timer1, &QTimer::timeout, this, [this] { Timer1Timer(); });
    Timer2 = new QTimer(this);
    Timer2->setInterval(1000);
    connect(Timer2, &QTimer::timeout, this, [this] { Timer2Timer(); });
    Timer2->start();
    Timer3 = new QTimer(this);
    Timer3->setInterval(9000);
    connect(Timer3, &QTimer::timeout, this, [this] { Timer3Timer(); });
    Timer4 = new QTimer(this);
    Timer4->setInterval(100);
    connect(Timer4, &QTimer::timeout, this, [this] { Timer4Timer(); });
}

void TfrmFTList::BuildMenu() {
    using chipwatch::MenuIcon;
    using chipwatch::TMenuIcon;
    PopupMenu1 = new QMenu(this);
    PopupMenu1->setObjectName(QStringLiteral("PopupMenu1"));
    Refresh1 = PopupMenu1->addAction(MenuIcon(TMenuIcon::Refresh), QStringLiteral("Refresh"));
    N3 = PopupMenu1->addSeparator();
    Resetpulse1 =
        PopupMenu1->addAction(MenuIcon(TMenuIcon::ResetPulse), QStringLiteral("Reset pulse (Double Click)"));
    auto* lines = new QMenu(QStringLiteral("Chose Reset Line"), PopupMenu1);
    lines->setIcon(MenuIcon(TMenuIcon::ResetLine));
    ResetLine1 = PopupMenu1->addMenu(lines);
    N1 = PopupMenu1->addSeparator();
    Setasdefaultifdiscovered1 = PopupMenu1->addAction(MenuIcon(TMenuIcon::SetDefault),
                                                      QStringLiteral("Set as default if discovered"));
    Cleardefaultchip1 =
        PopupMenu1->addAction(MenuIcon(TMenuIcon::ClearDefault), QStringLiteral("Clear default chip"));
    SetAliasname1 = PopupMenu1->addAction(MenuIcon(TMenuIcon::Alias), QStringLiteral("Set Alias name"));

    auto* group = new QActionGroup(lines);
    group->setExclusive(true);
    auto line = [&](const QString& caption, int mask) {
        QAction* a = lines->addAction(caption);
        a->setCheckable(true);
        a->setData(mask);
        group->addAction(a);
        connect(a, &QAction::triggered, this, [this, a] { ResetLineClick(a); });
        return a;
    };
    RI1 = line(QStringLiteral("RI"), 128);
    RTS1 = line(QStringLiteral("RTS"), 4);
    CTS1 = line(QStringLiteral("CTS"), 8);
    DTR1 = line(QStringLiteral("DTR"), 16);
    DSR1 = line(QStringLiteral("DSR"), 32);
    DCD1 = line(QStringLiteral("DCD"), 64);
    RI1->setChecked(true);

    connect(Refresh1, &QAction::triggered, this, [this] { Refresh1Click(); });
    connect(Resetpulse1, &QAction::triggered, this, [this] { Resetpulse1Click(); });
    connect(Setasdefaultifdiscovered1, &QAction::triggered, this,
            [this] { Setasdefaultifdiscovered1Click(); });
    connect(Cleardefaultchip1, &QAction::triggered, this, [this] { Cleardefaultchip1Click(); });
    connect(SetAliasname1, &QAction::triggered, this, [this] { SetAliasname1Click(); });
}

bool TfrmFTList::InfoShort() const {
    return TevFt232new ? TevFt232new->InfoShort() : true;
}

void TfrmFTList::SetHeight(int h) {
    resize(width(), h);
}

void TfrmFTList::resizeEvent(QResizeEvent* e) {
    QWidget::resizeEvent(e);
    Panel1->setGeometry(0, 0, width(), kPanelHeight);
    Panel2->setGeometry(0, kPanelHeight, width(), 1);
    Panel3->setGeometry(0, kPanelHeight + 1, width(), qMax(0, ExpandedHeight - kPanelHeight - 1));
    ListView1->setGeometry(4, 4, width() - 8, ListView1->height());
}

void TfrmFTList::PlaceBottomRight() {
    QScreen* screen = this->screen() ? this->screen() : QGuiApplication::primaryScreen();
    if (!screen)
        return;
    const QRect area = screen->availableGeometry();
    // On a screen smaller than the full view the corner would push the panel, the handle, off the top left.
    const QPoint corner(qMax(area.left(), area.x() + area.width() - width() - 6),
                        qMax(area.top(), area.y() + area.height() - height() - 6));
    move(FitWindowPlace(QRect(corner, size()), CurrentScreenAreas(), {kPanelHeight, 48, 8}).topLeft());
}

void TfrmFTList::MagentaEyeOn() {
    Image3->show();
}

void TfrmFTList::MagentaEyeOff() {
    Image3->hide();
}

void TfrmFTList::LayoutView(bool mini) {
    resize(mini ? MiniWidth : FullWidth, height());
    Image2->move(mini ? 213 : 588, Image2->y());
    const QPoint pin = mini ? QPoint(218, 26) : QPoint(454, 10);
    imgSpinkaOFF->move(pin);
    imgSpinkaON->move(pin);
    Label4a->move(mini ? QPoint(55, 33) : QPoint(483, 4));
    if (!mini) {
        QFont f = lbComPort->font();
        f.setPointSize(14);
        lbComPort->setFont(f);
    }
    const int* widths = mini ? kMiniColumnWidths : kFullColumnWidths;
    for (int c = 0; c < 6; ++c)
        ListView1->setColumnWidth(c, widths[c]);
    // The mini view hides columns at 1 pixel; the user must not drag them open.
    ListView1->header()->setSectionResizeMode(mini ? QHeaderView::Fixed : QHeaderView::Interactive);
}

// ---- Showing, closing and private messages ----

void TfrmFTList::showEvent(QShowEvent* e) {
    QWidget::showEvent(e);
    if (FShown)
        return;
    FShown = true;
    SetWindowTopmost(this, true, false);
    g_pinned = Settings().ReadPinned();
    imgSpinkaOFF->setVisible(g_pinned != 1);
    imgSpinkaON->setVisible(g_pinned == 1);
    PlaceBottomRight();
    Timer1Tag = 0;
    blending = 0;
    SetOpacity(0);
    setWindowState(Qt::WindowNoState);
    Timer1->start();
    QCoreApplication::postEvent(this, new QEvent(QEvent::Type(QEvent::User + 350)));
    ListView1->resize(ListView1->width(), kListHeightCovered);
}

bool TfrmFTList::event(QEvent* e) {
    if (e->type() == QEvent::Type(QEvent::User + 350)) {
        if (TevFt232new)
            TevFt232new->SetParentFocus();
        return true;
    }
    return QWidget::event(e);
}

void TfrmFTList::closeEvent(QCloseEvent* e) {
    QWidget::closeEvent(e);
    if (!e->isAccepted())
        return;
    Timer1->stop();
    Timer3->stop();
    Timer4->stop();
    if (frmFTList == this)
        frmFTList = nullptr;
    if (TevFt232new && TevFt232new->FfrmList == this)
        TevFt232new->FfrmList = nullptr;
    // A "Refresh" whose scan ends with no adapters closes the window before the cursor is restored.
    if (FHourglass) {
        FHourglass = false;
        QGuiApplication::restoreOverrideCursor();
    }
    // A reset pulse keeps the event loop running under our handlers: free the window after it.
    if (Busy())
        FDeletePending = true;
    else
        deleteLater();
}

void TfrmFTList::EndBusy() {
    if (--FBusy == 0 && FDeletePending)
        deleteLater();
}

// ---- Mouse handling ----

void TfrmFTList::mouseMoveEvent(QMouseEvent* e) {
    RestartTimer3();
    QWidget::mouseMoveEvent(e);
}

void TfrmFTList::Panel1MouseDown(QMouseEvent* e) {
    if (e->button() != Qt::LeftButton)
        return;
    FDragArmed = true;
    FDragManual = false;
    FDragStart = e->globalPosition().toPoint();
    FDragWindowStart = pos();
}

bool TfrmFTList::eventFilter(QObject* watched, QEvent* e) {
    auto* w = qobject_cast<QWidget*>(watched);
    if (!w)
        return false;
    const QEvent::Type t = e->type();

    if (w == ListView1->viewport()) {
        auto* me = dynamic_cast<QMouseEvent*>(e);
        if (!me && t != QEvent::Leave)
            return false;
        switch (t) {
        case QEvent::MouseButtonRelease:
            if (me->button() == Qt::LeftButton)
                ListView1Click(me->position().toPoint());
            break;
        case QEvent::MouseButtonDblClick:
            if (me->button() == Qt::LeftButton)
                ListView1DblClick(me->position().toPoint());
            break;
        case QEvent::MouseMove:
            ListView1MouseMove(me->position().toPoint());
            break;
        case QEvent::Leave:
            ListView1MouseLeave();
            break;
        default:
            break;
        }
        return false;
    }

    const bool isPicture = w == imgSpinkaOFF || w == imgSpinkaON || w == Image2;
    const bool inPanelGroup = w == Panel1 || w == Image1 || w == Image3 || w == Label1a || w == lbComPort ||
                              w == Label1b || w == lbSerial || w == Label1 || w == Label3 ||
                              w == lbOrvakDesc || w == lbDesc || w == lbListCount || w == Label4w;
    const bool hoverGroup = inPanelGroup || w == lbChip || w == Label2;

    switch (t) {
    case QEvent::MouseButtonPress: {
        auto* me = static_cast<QMouseEvent*>(e);
        if (w == Label4a) {
            FWebPressed = me->button() == Qt::LeftButton;
            return true;
        }
        if (isPicture && me->button() == Qt::LeftButton) {
            FPressed = w;
            w->move(w->pos() + QPoint(1, 1));
            return true;
        }
        if (inPanelGroup)
            Panel1MouseDown(me);
        break;
    }
    case QEvent::MouseMove: {
        auto* me = static_cast<QMouseEvent*>(e);
        // The pictures are buttons, not panel: resting on them is no activity.
        if (!isPicture)
            RestartTimer3();
        // Setting the interval restarts the timer: set on every move, the title would never blink.
        if (hoverGroup && Timer2->interval() != 250)
            Timer2->setInterval(250);
        if (w == Label4a) {
            SetLabelColour(Label4a, QColor(255, 0, 255));
            QFont f = Label4a->font();
            f.setUnderline(true);
            Label4a->setFont(f);
            Label4a->setCursor(Qt::PointingHandCursor);
        }
        if (FDragArmed && (me->buttons() & Qt::LeftButton)) {
            const QPoint now = me->globalPosition().toPoint();
            if (!FDragManual && (now - FDragStart).manhattanLength() >= QApplication::startDragDistance()) {
                FDragMoved = true;
                // Let the window system move us, as a drag by the caption would; where it cannot
                // (no such support), follow the mouse ourselves.
                if (windowHandle() && windowHandle()->startSystemMove())
                    FDragArmed = false;
                else
                    FDragManual = true;
            }
            if (FDragManual)
                move(FDragWindowStart + now - FDragStart);
        }
        break;
    }
    case QEvent::MouseButtonRelease: {
        auto* me = static_cast<QMouseEvent*>(e);
        const bool dragged = FDragMoved;
        FDragArmed = false;
        FDragManual = false;
        FDragMoved = false;
        if (isPicture && FPressed == w) {
            FPressed = nullptr;
            w->move(w->pos() - QPoint(1, 1));
            if (me->button() == Qt::LeftButton && w->rect().contains(me->position().toPoint())) {
                if (w == imgSpinkaOFF)
                    imgSpinkaOFFClick();
                else if (w == imgSpinkaON)
                    imgSpinkaONClick();
                else
                    Image2Click();
            }
            return true;
        }
        // Either button switches the view; a left press that became a drag does not.
        if ((w == Image1 || w == Image3) &&
            ((me->button() == Qt::LeftButton && !dragged) || me->button() == Qt::RightButton)) {
            ToggleMiniView();
            return true;
        }
        if (w == Label4a) {
            // One left click, pressed and released on the address, opens it once.
            const bool pressed = FWebPressed;
            FWebPressed = false;
            if (pressed && me->button() == Qt::LeftButton && w->rect().contains(me->position().toPoint()))
                Label4aClick();
            return true;
        }
        break;
    }
    case QEvent::MouseButtonDblClick:
        if (hoverGroup || w == Label4a) {
            Panel1DblClick();
            return true;
        }
        break;
    case QEvent::Leave:
        if (hoverGroup && Timer2->interval() != 1000)
            Timer2->setInterval(1000);
        if (w == Label4a) {
            SetLabelColour(Label4a, kWebColour);
            QFont f = Label4a->font();
            f.setUnderline(false);
            Label4a->setFont(f);
            Label4a->unsetCursor();
        }
        break;
    default:
        break;
    }
    return false;
}

void TfrmFTList::Panel1DblClick() {
    if (height() >= ExpandedHeight) {
        SetHeight(CollapsedHeight);
        bMustBeMaxHeight = false;
    } else {
        SetHeight(ExpandedHeight);
        bMustBeMaxHeight = true;
    }
    if (POrvakFTList && pFTCount)
        RefreshList(*POrvakFTList, *pFTCount);
}

void TfrmFTList::Label4aClick() {
    if (OpenUrl)
        OpenUrl(MakerWebAddress);
}

void TfrmFTList::imgSpinkaOFFClick() {
    imgSpinkaOFF->hide();
    imgSpinkaON->show();
    Settings().WritePinned(1);
    g_pinned = 1;
}

void TfrmFTList::imgSpinkaONClick() {
    imgSpinkaON->hide();
    imgSpinkaOFF->show();
    Settings().WritePinned(0);
    g_pinned = 0;
}

void TfrmFTList::Image2Click() {
    FadeOut();
}

void TfrmFTList::ToggleMiniView() {
    if (!TevFt232new)
        return;
    if (!TevFt232new->DetailedInfo())
        TevFt232new->SetInfoShort(true);
    else
        TevFt232new->SetInfoShort(!TevFt232new->InfoShort());
    Settings().WriteMiniVer(TevFt232new->InfoShort());
    if (POrvakFTList && pFTCount)
        RefreshList(*POrvakFTList, *pFTCount);
}

void TfrmFTList::Refresh1Click() {
    if (TevFt232new)
        TevFt232new->DetectFT232();
    ListView1->clear();
    lbComPort->setText(QStringLiteral("wait..."));
    lbListCount->setText(QStringLiteral("[?]"));
    lbSerial->clear();
    lbDesc->clear();
    lbOrvakDesc->clear();
    Image3->show();
    if (!FHourglass) {
        FHourglass = true;
        QGuiApplication::setOverrideCursor(Qt::WaitCursor);
    }
}

void TfrmFTList::Resetpulse1Click() {
    if (!TevFt232new)
        return;
    ++FBusy;
    TevFt232new->ResetPulse(QString(), true, ChosenResetLine);
    EndBusy();
}

void TfrmFTList::ResetLineClick(QAction* line) {
    for (QAction* a : {RI1, RTS1, CTS1, DTR1, DSR1, DCD1})
        a->setChecked(false);
    line->setChecked(true);
    ChosenResetLine = std::uint8_t(line->data().toInt());
}

void TfrmFTList::Setasdefaultifdiscovered1Click() {
    QTreeWidgetItem* it = ListView1->currentItem();
    if (!it || !it->isSelected() || !TevFt232new)
        return;
    const int row = ListView1->indexOfTopLevelItem(it);
    if (RowState(row) == 2)
        return;
    const QString serial = RowSerial(row);
    TevFt232new->FActiveSerial = serial;
    TevFt232new->SetActiveSerial(serial);
    Settings().StoreDefault(serial);
    RefreshList(TevFt232new->FTOrvakDefListFlags, TevFt232new->FListCount);
}

void TfrmFTList::Cleardefaultchip1Click() {
    Settings().ClearDefault();
    if (TevFt232new)
        RefreshList(TevFt232new->FTOrvakDefListFlags, TevFt232new->FListCount);
}

void TfrmFTList::SetAliasname1Click() {
    ListView1->resize(ListView1->width(), kListHeightEditor);
    btnSetAlias->setDefault(true);
    edAlias->setText(ReadAlias(aSerial ? *aSerial : QString()));
    edAlias->selectAll();
    activateWindow();
    edAlias->setFocus();
}

void TfrmFTList::btnSetAliasClick() {
    if (!TevFt232new)
        return;
    WriteAlias(TevFt232new->FActiveSerial, edAlias->text());
    ListView1->resize(ListView1->width(), kListHeightCovered);
    RefreshList(TevFt232new->FTOrvakDefListFlags, TevFt232new->FListCount);
    btnSetAlias->setDefault(false);
    RestartTimer3();
}

// ---- The application's entry ----

void ShowChipWatcher(TTevFT232a* watcher, TFTOrvakDefListFlags& records, int& count, QString& activeSerial) {
    try {
        const int n = qBound(0, count, FTOrvakMaxAdapters);
        for (int i = 0; i < n; ++i) {
            if (!chipwatch::PortPassesCheck(records[std::size_t(i)].ComPort))
                return;
        }
        if (frmFTList) {
            frmFTList->RefreshList(records, count);
            if (frmFTList) {
                frmFTList->show();
                // A report is news: the window comes up from behind others, still without the focus.
                frmFTList->raise();
            }
            return;
        }
        auto* form = new TfrmFTList();
        frmFTList = form;
        form->resize(form->width(), 1);
        form->TevFt232new = watcher;
        if (watcher) {
            watcher->FfrmList = form;
            // The references below are the watcher's fields: they must not outlive it.
            QObject::connect(watcher, &QObject::destroyed, form, [form] {
                form->POrvakFTList = nullptr;
                form->pFTCount = nullptr;
                form->aSerial = nullptr;
                form->close();
            });
        }
        // Owned by the application: it goes with the event loop, not with any window.
        QObject::connect(qApp, &QCoreApplication::aboutToQuit, form, [form] { form->close(); });
        form->sapp_reg_key = chipwatch::SpinkaKeyFor(chipwatch::CurrentApplicationTitle());
        form->aSerial = &activeSerial;
        form->POrvakFTList = &records;
        form->pFTCount = &count;
        SetWindowTopmost(form, true, false);
        form->show();
        form->RefreshList(records, count);
    } catch (...) {
        // The window keeps what it showed; a failure here must not reach the watcher's report.
    }
}
