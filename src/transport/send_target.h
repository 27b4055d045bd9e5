// One destination of an outgoing message: the address text as the tables and
// send records hold it, and the parsed address the socket writes to.
#pragma once

#include <QHostAddress>

struct SendTarget {
    char ip[16] = {};
    unsigned short port = 0;
    QHostAddress address;

    SendTarget() = default;
    SendTarget(const char *ipText, unsigned short port);
};
