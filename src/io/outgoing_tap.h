// A seam in front of the socket: every outgoing datagram of a unit passes an
// optional tap that may change it, redirect it or drop it. Tests use it to
// lose, damage, duplicate and reorder traffic deterministically; the fuzzer
// uses it to keep its replies off the network. No tap: datagrams go as built.
#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <functional>

// Returns false to drop the datagram.
using OutgoingTap = std::function<bool(QByteArray &datagram, QHostAddress &address, quint16 &port)>;
