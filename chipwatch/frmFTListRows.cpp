// The chip watcher's list: the rows a refresh builds from the watcher's records, how each cell is drawn,
// the state images that pick the active adapter, and the list's own mouse and menu handling.
#include "ChipPictures.h"
#include "frmFTListParts.h"
#include "frmFTListU.h"
#include "ftdi/TevFT232a.h"

#include <QGuiApplication>
#include <QHeaderView>
#include <QLabel>
#include <QPainter>
#include <QTimer>
#include <QTreeWidget>

using namespace ftlist;

TChipRowDelegate::TChipRowDelegate(TfrmFTList* form) : QStyledItemDelegate(form), FForm(form) {}

void TChipRowDelegate::paint(QPainter* p, const QStyleOptionViewItem& option,
                             const QModelIndex& index) const {
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
        const Qt::Alignment align =
            (col == 2 || col == 3) ? Qt::AlignHCenter | Qt::AlignVCenter : Qt::AlignLeft | Qt::AlignVCenter;
        p->drawText(r, int(align), QFontMetrics(font).elidedText(text, Qt::ElideRight, r.width()));
    }
    if (option.state & QStyle::State_Selected && FForm->ListView1->hasFocus()) {
        QColor sel = option.palette.color(QPalette::Highlight);
        sel.setAlpha(70);
        p->fillRect(option.rect, sel);
    }
    p->restore();
}

QSize TChipRowDelegate::sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const {
    QSize s = QStyledItemDelegate::sizeHint(option, index);
    s.setHeight(qMax(s.height(), 18));
    return s;
}

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

int TfrmFTList::ClampedCount(int count) const {
    return qBound(0, count, FTOrvakMaxAdapters);
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
