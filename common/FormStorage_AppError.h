// The application's default error display: a failure inside a window handler shows a message box with
// its text and the program goes on. Tests put their own display in its place.
#pragma once

#include <QString>
#include <functional>

using TApplicationErrorHandler = std::function<void(const QString& text)>;

void ShowApplicationError(const QString& text);
// Installs another display (an empty one restores the message box); returns the previous one.
TApplicationErrorHandler SetApplicationErrorHandler(TApplicationErrorHandler handler);
