// What a user without a mouse, or with a screen reader, needs of the two windows: shortcuts that change
// nothing a mouse user sees, and names for the controls that show no text.
#pragma once

#include <QString>

class TForm1;
class TfrmDodatki;
class StatusReadout;

// Main window: Ctrl+Return starts or stops, Ctrl+T opens the tools window, Escape closes the chip watcher.
void SetUpMainWindowKeys(TForm1& form);
// Tools window: Ctrl+S saves what the shown tab holds (the log as CSV, the chart as a picture), Escape
// closes the window; Ctrl+Tab and Ctrl+Shift+Tab switch tabs as everywhere.
void SetUpToolsWindowKeys(TfrmDodatki& tools);
// The readout as a screen reader says it: "3.90 V, converter ON, low battery".
QString ReadoutSpokenText(const StatusReadout& readout);
