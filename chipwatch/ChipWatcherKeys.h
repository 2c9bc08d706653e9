// The chip watcher without a mouse: Escape closes it as its close picture does, and its pictures have
// names a screen reader can say.
#pragma once

class TfrmFTList;

void SetUpChipWatcherKeys(TfrmFTList& watcher);
