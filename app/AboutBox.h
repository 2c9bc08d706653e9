// "About PRAVEX": the program's name, version, licence and the project's address. Reached from the main
// window by F1 and by the context menu of its readout panel, so the window keeps its designed face.
#pragma once

class QWidget;

// Adds the F1 shortcut to the window and the context menu entry to one of its parts (not the whole window:
// a right click elsewhere, on the web label say, stays without effect).
void AddAboutTo(QWidget* window, QWidget* menuOn);
// Shows the box (one at a time, not modal: the readings go on behind it).
void ShowAbout(QWidget* parent);
