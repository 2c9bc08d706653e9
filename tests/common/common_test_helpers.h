// Scratch places for the common tests: every test gets its own store file under PRAVEX_TEST_TMP.
#pragma once

#include <QString>

// A fresh folder below PRAVEX_TEST_TMP named after the running test.
QString scratchDir();
// Points PRAVEX_REGISTRY at a new store file in scratchDir() and returns its path (the file is not made).
QString freshStore();
