// The chip watcher window: construction, the refresh that rebuilds everything it shows, the row drawing,
// the user's actions and the four timers (fade, title blink, auto-hide, count blink).
#include "frmFTListU.h"

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
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QStyledItemDelegate>
#include <QTimer>
#include <QTreeWidget>
#include <QUrl>
#include <QWindow>

QPointer<TfrmFTList> frmFTList;

namespace {

int g_pinned = 0;

const QColor kTitleBlue(36, 36, 255);
const QColor kTitleBlink(0, 83, 236);
const QColor kSerialBlue(34, 145, 255);
const QColor kDescBlue(0, 128, 255);
const QColor kMakerColour(53, 55, 140);
const QColor kWebColour(77, 80, 187);
const QColor kPortActive(34, 172, 255);
const QColor kGrey(128, 128, 128);
const QColor kCountGreen(0, 128, 0);
const QColor kCountRed(255, 0, 0);
const QColor kListBack(171, 184, 214);
const QColor kActiveText(0, 0, 255);
const QColor kActiveBack(226, 255, 198);
const QColor kDefaultText(128, 0, 255);
const QColor kPaleYellow(255, 255, 232);

constexpr int kFullColumnWidths[6] = {23, 75, 70, 100, 200, 120};
constexpr int kMiniColumnWidths[6] = {23, 75, 1, 1, 125, 1};
constexpr int kListHeightCovered = 102;
constexpr int kListHeightEditor = 73;
constexpr int kPanelHeight = 51;

} // namespace

int PinnedFlag() {
    return g_pinned;
}

// Row and cell drawing: colours by row parity and state, the default adapter in violet, and the
// Description column shrunk to fit in the mini view.
class TChipRowDelegate : public QStyledItemDelegate {
public:
    explicit TChipRowDelegate(TfrmFTList* form) : QStyledItemDelegate(form), FForm(form) {}

    void paint(QPainter* p, const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        const int row = index.row();
        const int col = index.column();
        const int state = FForm->RowState(row);
        const TfrmFTList::TCellLook look = FForm->CellLook(row, col);
        const QFont& font = look.font;
        const QColor& fg = look.text;
        const QColor& bg = look.back;
        const QString text = index.data(Qt::DisplayRole).toString();

        p->save();
        p->fillRect(option.rect, bg);
        if (col == 0) {
            if (state >= 0 && state <= 2)
                p->drawPixmap(FForm->StateImageRect(row).topLeft(),
                              chipwatch::StatePixmap(chipwatch::TStateImage(state)));
        } else {
            p->setFont(font);
            p->setPen(fg);
            const QRect r = option.rect.adjusted(3, 0, -2, 0);
            const Qt::Alignment align = (col == 2 || col == 3) ? Qt::AlignHCenter | Qt::AlignVCenter
                                                               : Qt::AlignLeft | Qt::AlignVCenter;
            p->drawText(r, int(align), QFontMetrics(font).elidedText(text, Qt::ElideRight, r.width()));
        }
        if (option.state & QStyle::State_Selected && FForm->ListView1->hasFocus()) {
            QColor sel = option.palette.color(QPalette::Highlight);
            sel.setAlpha(70);
            p->fillRect(option.rect, sel);
        }
        p->restore();
    }

    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        QSize s = QStyledItemDelegate::sizeHint(option, index);
        s.setHeight(qMax(s.height(), 18));
        return s;
    }

private:
    TfrmFTList* FForm;
};

TfrmFTList::TCellLook TfrmFTList::CellLook(int row, int col) const {
    const int state = RowState(row);
    TCellLook look{ListView1->font(), Qt::black, Qt::white};
    QFont& font = look.font;
    // The row's bold shows in the selector column only: each cell starts again from the list's font.
    font.setBold(state == 0 && col == 0);
    if (col >= 1) {
        if (col == 1) {
            font.setFamily(QStringLiteral("Verdana"));
            font.setBold(state == 0);
        }
        if (state == 0) {
            look.text = kActiveText;
            look.back = kActiveBack;
            if (RowSerial(row) == def_ser) {
                look.text = kDefaultText;
                font.setBold(true);
            }
        } else if (state == 2) {
            look.text = kGrey;
            font.setItalic(true);
            font.setPointSize(8);
        }
        if (col != 4) {
            look.text = Qt::black;
            look.back = (row % 2 == 1) ? QColor(Qt::white) : kPaleYellow;
        }
    }
    if (col == 4 && InfoShort()) {
        QTreeWidgetItem* it = ListView1->topLevelItem(row);
        font = ShrinkToFit(it ? it->text(4) : QString(), font, ListView1->columnWidth(4) - 5);
    }
    return look;
}

// Lowers the size a point at a time until the text fits; stops at 1 pt, where a text that still does
// not fit is drawn (and elided) rather than looping for ever.
QFont TfrmFTList::ShrinkToFit(const QString& text, const QFont& start, int width) const {
    lbTest->setText(text);
    QFont f = start;
    if (f.pointSize() < 1)
        f.setPointSize(1);
    lbTest->setFont(f);
    while (QFontMetrics(lbTest->font()).horizontalAdvance(text) > width && lbTest->font().pointSize() > 1) {
        QFont smaller = lbTest->font();
        smaller.setPointSize(smaller.pointSize() - 1);
        lbTest->setFont(smaller);
    }
    return lbTest->font();
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
    auto picture = [this](QWidget* parent, const QString& name, const QPixmap& pm, QPoint at) {
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

int TfrmFTList::ClampedCount(int count) const {
    return qBound(0, count, FTOrvakMaxAdapters);
}

void TfrmFTList::SetOpacity(int value) {
    FOpacity = qBound(0, value, 255);
    // Screenless platforms have no opacity; asking them only fills the log.
    static const bool canFade = QGuiApplication::platformName() != QLatin1String("offscreen");
    if (canFade)
        setWindowOpacity(FOpacity / 255.0);
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

void TfrmFTList::ApplyHeightRule(const TFTOrvakDefListFlags& list, int count, bool mini) {
    if (mini) {
        SetHeight(bMustBeMaxHeight ? ExpandedHeight : CollapsedHeight);
    } else if (count > 1) {
        SetHeight(ExpandedHeight);
    } else if (count == 1 && list[0].Active == 2) {
        SetHeight(ExpandedHeight);
    } else if (!bMustBeMaxHeight) {
        SetHeight(CollapsedHeight);
    }
}

void TfrmFTList::ApplyDefaultChip() {
    def_ser = Settings().ReadDefaultChip();
    if (def_ser.trimmed().isEmpty() || !TevFt232new)
        return;
    TevFt232new->FActiveSerial = def_ser;
    TevFt232new->SetActiveSerial(def_ser);
}

void TfrmFTList::RefreshList(TFTOrvakDefListFlags& OrvakFTList, int ListCnt) {
    // The array holds 21 records; a count beyond it must not read past the end.
    ListCnt = ClampedCount(ListCnt);
    ListView1->clear();
    if (ListCnt == 0) {
        close();
        return;
    }
    if (ListCnt != LastListCount)
        Timer4->start();

    if (TevFt232new && TevFt232new->InfoShort()) {
        TevFt232new->SetInfoShort(Settings().ReadMiniVer());
        if (!TevFt232new->DetailedInfo())
            TevFt232new->SetInfoShort(true);
    }
    const bool mini = InfoShort();
    LayoutView(mini);
    ApplyHeightRule(OrvakFTList, ListCnt, mini);
    ApplyDefaultChip();

    QString portText, descText, chipText, makerText;
    for (int i = 0; i < ListCnt; ++i) {
        const TRFTOrvakDefListFlags& r = OrvakFTList[std::size_t(i)];
        if (r.Active == 0) {
            portText = r.ComPort;
            descText = r.Description;
            chipText = r.chip;
            makerText =
                r.OrvakDesc + QStringLiteral("    [UA:") + QString::number(r.OrvakOkFlag) + QLatin1Char(']');
        }
        QString description = r.Description;
        if (mini)
            description =
                chipwatch::MiniDescriptionText(ReadAlias(r.SerialNumber), r.OrvakDesc, r.Description);
        auto* item = new QTreeWidgetItem(
            QStringList{QString(), r.ComPort, r.chip, r.SerialNumber, description, r.OrvakDesc});
        item->setData(0, Qt::UserRole, (r.Active >= 0 && r.Active <= 2) ? r.Active : -1);
        item->setTextAlignment(2, Qt::AlignHCenter);
        item->setTextAlignment(3, Qt::AlignHCenter);
        ListView1->addTopLevelItem(item);
    }

    ListView1->setCurrentItem(ListView1->topLevelItem(0));
    if (lvLastIdx >= 0) {
        if (QTreeWidgetItem* it = ListView1->topLevelItem(lvLastIdx))
            ListView1->setCurrentItem(it);
        lvLastIdx = -1;
    }

    const QString active = aSerial ? *aSerial : QString();
    lbSerial->setText(active);
    if (!active.isEmpty()) {
        SetLabelColour(lbComPort, kPortActive);
        QFont f = lbComPort->font();
        f.setBold(true);
        f.setItalic(false);
        f.setPointSize(mini ? 11 : 14);
        lbComPort->setFont(f);
        SetLabelColour(lbChip, kDescBlue);
        QFont c = lbChip->font();
        c.setBold(false);
        c.setItalic(false);
        c.setStrikeOut(false);
        lbChip->setFont(c);
        SetLabelColour(lbListCount, kCountGreen);
        SetLabelColour(Label4w, kCountGreen);
    } else {
        SetLabelColour(lbComPort, kGrey);
        QFont f = lbComPort->font();
        f.setBold(false);
        f.setItalic(true);
        f.setPointSize(11);
        lbComPort->setFont(f);
        SetLabelColour(lbChip, kGrey);
        QFont c = lbChip->font();
        c.setStrikeOut(true);
        lbChip->setFont(c);
        SetLabelColour(lbListCount, kCountRed);
        SetLabelColour(Label4w, kCountRed);
    }
    lbComPort->setText(portText);
    lbOrvakDesc->setText(makerText);
    lbDesc->setText(descText);
    lbChip->setText(chipText);
    lbListCount->setText(QLatin1Char('[') + QString::number(ListCnt) + QLatin1Char(']'));
    lbListCount->setVisible(ListCnt > 0);

    if (TevFt232new)
        TevFt232new->DoOnChangeChip(TevFt232new->GetActiveIDX(), active);

    LastListCount = ListCnt;
    PlaceBottomRight();
    if (FHourglass) {
        FHourglass = false;
        QGuiApplication::restoreOverrideCursor();
    }
    Image3->hide();
}

int TfrmFTList::RowState(int row) const {
    QTreeWidgetItem* it = ListView1->topLevelItem(row);
    return it ? it->data(0, Qt::UserRole).toInt() : -1;
}

QString TfrmFTList::RowSerial(int row) const {
    QTreeWidgetItem* it = ListView1->topLevelItem(row);
    return it ? it->text(3) : QString();
}

QRect TfrmFTList::StateImageRect(int row) const {
    QTreeWidgetItem* it = ListView1->topLevelItem(row);
    if (!it)
        return {};
    const QRect cell = ListView1->visualItemRect(it);
    const int left = cell.left() - ListView1->header()->offset() + ListView1->header()->sectionPosition(0);
    return QRect(left + 3, cell.top() + (cell.height() - 16) / 2, 16, 16);
}

int TfrmFTList::StateImageRowAt(const QPoint& pos) const {
    QTreeWidgetItem* it = ListView1->itemAt(pos);
    if (!it)
        return -1;
    const int row = ListView1->indexOfTopLevelItem(it);
    if (RowState(row) < 0)
        return -1;
    return StateImageRect(row).adjusted(-2, -2, 2, 2).contains(pos) ? row : -1;
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

void TfrmFTList::RestartTimer3() {
    Timer3->stop();
    Timer3->start();
}

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

void TfrmFTList::FadeOut() {
    Timer1Tag = 1;
    blending = 255;
    Timer1->start();
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

// ---- The list ----

void TfrmFTList::ListView1Click(const QPoint& pos) {
    const int row = StateImageRowAt(pos);
    if (row < 0 || !POrvakFTList || !pFTCount || !aSerial)
        return;
    lvLastIdx = row;
    if (RowState(row) < 0)
        return;
    for (int i = 0; i < ListView1->topLevelItemCount(); ++i) {
        if (RowState(i) >= 0)
            ListView1->topLevelItem(i)->setData(0, Qt::UserRole, i == row ? 0 : 1);
    }
    const int count = ClampedCount(*pFTCount);
    if (row >= count)
        return;
    for (int i = 0; i < count; ++i) {
        if ((*POrvakFTList)[std::size_t(i)].Active == 0)
            (*POrvakFTList)[std::size_t(i)].Active = 1;
    }
    *aSerial = RowSerial(row);
    (*POrvakFTList)[std::size_t(row)].Active = 0;
    RefreshList(*POrvakFTList, *pFTCount);
    if (TevFt232new)
        TevFt232new->DoOnChangeChip(row, *aSerial);
}

void TfrmFTList::ListView1DblClick(const QPoint& pos) {
    QTreeWidgetItem* it = ListView1->itemAt(pos);
    if (!it || !TevFt232new)
        return;
    const int row = ListView1->indexOfTopLevelItem(it);
    if (RowState(row) < 0)
        return;
    TempSerial = RowSerial(row);
    ++FBusy;
    TevFt232new->ResetPulse(TempSerial, true, ChosenResetLine);
    EndBusy();
}

void TfrmFTList::ListView1MouseMove(const QPoint& pos) {
    if (StateImageRowAt(pos) >= 0)
        ListView1->viewport()->setCursor(Qt::PointingHandCursor);
    else
        ListView1->viewport()->unsetCursor();
    Timer3->stop();
}

void TfrmFTList::ListView1MouseLeave() {
    RestartTimer3();
}

void TfrmFTList::PopupMenu1Popup(const QPoint& pos) {
    const QList<QAction*> items{Resetpulse1,       ResetLine1,   N1, Setasdefaultifdiscovered1,
                                Cleardefaultchip1, SetAliasname1};
    auto enableFrom2 = [&](bool on) {
        for (QAction* a : items)
            a->setEnabled(on);
    };
    if (bseekportBusy.load() || !aSerial || aSerial->isEmpty()) {
        enableFrom2(false);
        return;
    }
    QTreeWidgetItem* it = ListView1->itemAt(pos);
    if (!it)
        return;
    const int row = ListView1->indexOfTopLevelItem(it);
    const int state = RowState(row);
    if (state < 0)
        return;
    if (state == 1) {
        enableFrom2(false);
        return;
    }
    enableFrom2(true);
    if (ListView1->selectedItems().isEmpty())
        enableFrom2(false);
    TempSerial = RowSerial(row);
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

// ---- Timers ----

void TfrmFTList::Timer1Timer() {
    if (Timer1Tag == 0) {
        const auto& table = chipwatch::FadeInTable();
        const int value = table[std::size_t(qBound(0, blending, 255))];
        SetOpacity(value);
        blending += 3;
        repaint();
        if (value > 245) {
            Timer1->stop();
            SetOpacity(255);
            update();
            Panel1->repaint();
            Timer3->start();
        }
    } else {
        if (height() > CollapsedHeight)
            SetHeight(height() - 4);
        const int value = blending;
        SetOpacity(value);
        blending -= 4;
        if (value < 5) {
            Timer1->stop();
            SetOpacity(0);
            close();
        }
    }
}

void TfrmFTList::Timer2Timer() {
    ++Timer2Tag;
    SetLabelColour(Label3, (Timer2Tag % 2 == 1) ? kTitleBlue : kTitleBlink);
}

void TfrmFTList::Timer3Timer() {
    if (g_pinned == 1) {
        Timer3->stop();
        return;
    }
    FadeOut();
}

void TfrmFTList::Timer4Timer() {
    ++Timer4Tag;
    lbListCount->setVisible(Timer4Tag % 2 == 1);
    if (Timer4Tag > 30) {
        Timer4Tag = 0;
        Timer4->stop();
        lbListCount->setVisible(true);
    }
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
