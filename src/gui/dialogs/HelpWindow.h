#pragma once
// The help window: the HTML manual "Kestrune.hlp" in a window of its own.
// Not modal, and at most one at a time: asking for it again brings the open
// one to the front.

#include <QString>

class QWidget;

namespace kestrune {

// Shows helpFile in the help window.  A file that is missing, unreadable or
// empty gives a message box (with parent as its owner) instead of a window.
void ShowHelpWindow(QWidget *parent, const QString &helpFile);

// Closes and destroys the help window; nothing happens when none is open.
void CloseHelpWindow();

// The help window while it is shown, else nullptr.
QWidget *CurrentHelpWindow();

} // namespace kestrune
