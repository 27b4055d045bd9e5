// Log texts are translated in the context of the unit's class, whichever part
// writes them.
#pragma once

#include <QCoreApplication>
#include <QString>

inline QString tr(const char *text) { return QCoreApplication::translate("MUDPUnit", text); }
