#pragma once
#include <QString>

// The stored GBK texts of the notice, decoded for this machine.
QString NoticeTitle();
QString NoticeText();
// Decodes NUL-terminated GBK bytes: with the local 8-bit codec where that is GBK, with an
// explicit GBK codec everywhere else.
QString FromStoredGbk(const char *bytes);
// Shows the modal critical box (only Yes, Yes as default) until it is dismissed. Needs a
// QApplication. Always returns 0.
int ShowCriticalNotice();
