// What the chip watcher window's files share: its colours and sizes, and the painter of its list rows.
#pragma once

#include <QColor>
#include <QStyledItemDelegate>

class TfrmFTList;

namespace ftlist {

inline const QColor kTitleBlue(36, 36, 255);
inline const QColor kTitleBlink(0, 83, 236);
inline const QColor kSerialBlue(34, 145, 255);
inline const QColor kDescBlue(0, 128, 255);
inline const QColor kMakerColour(53, 55, 140);
inline const QColor kWebColour(77, 80, 187);
inline const QColor kPortActive(34, 172, 255);
inline const QColor kGrey(128, 128, 128);
inline const QColor kCountGreen(0, 128, 0);
inline const QColor kCountRed(255, 0, 0);
inline const QColor kListBack(171, 184, 214);
inline const QColor kActiveText(0, 0, 255);
inline const QColor kActiveBack(226, 255, 198);
inline const QColor kDefaultText(128, 0, 255);
inline const QColor kPaleYellow(255, 255, 232);

inline constexpr int kFullColumnWidths[6] = {23, 75, 70, 100, 200, 120};
inline constexpr int kMiniColumnWidths[6] = {23, 75, 1, 1, 125, 1};
inline constexpr int kListHeightCovered = 102;
inline constexpr int kListHeightEditor = 73;
inline constexpr int kPanelHeight = 51;

} // namespace ftlist

// Row and cell drawing: colours by row parity and state, the default adapter in violet, and the
// Description column shrunk to fit in the mini view.
class TChipRowDelegate : public QStyledItemDelegate {
public:
    explicit TChipRowDelegate(TfrmFTList* form);

    void paint(QPainter* p, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;

private:
    TfrmFTList* FForm;
};
