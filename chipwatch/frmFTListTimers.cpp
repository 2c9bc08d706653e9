// The chip watcher's timers: the fade in and out (Timer1), the title's blink (Timer2), the auto-hide after a
// quiet spell (Timer3) and the count's blink after the count changed (Timer4).
#include "ChipPictures.h"
#include "frmFTListParts.h"
#include "frmFTListU.h"

#include <QGuiApplication>
#include <QLabel>
#include <QTimer>

using namespace ftlist;

void TfrmFTList::SetOpacity(int value) {
    FOpacity = qBound(0, value, 255);
    // Screenless platforms have no opacity; asking them only fills the log.
    static const bool canFade = QGuiApplication::platformName() != QLatin1String("offscreen");
    if (canFade)
        setWindowOpacity(FOpacity / 255.0);
}

void TfrmFTList::RestartTimer3() {
    Timer3->stop();
    Timer3->start();
}

void TfrmFTList::FadeOut() {
    Timer1Tag = 1;
    blending = 255;
    Timer1->start();
}

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
    if (PinnedFlag() == 1) {
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
