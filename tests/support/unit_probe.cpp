#include "support/unit_probe.h"

void UnitInspector::onLog(MUDPUnit &u, std::function<void(const QString &)> fn)
{
    QObject::connect(&u, &MUDPUnit::udpLog, &u, [fn](QString line) { fn(line); });
}

void UnitInspector::onData(MUDPUnit &u, std::function<void(const QByteArray &)> fn)
{
    QObject::connect(&u, &MUDPUnit::dataReady, &u, [fn](char *data, int size) { fn(QByteArray(data, size)); });
}

void UnitInspector::onUserListChanged(MUDPUnit &u, std::function<void()> fn)
{
    QObject::connect(&u, &MUDPUnit::userListChanged, &u, [fn] { fn(); });
}

void UnitInspector::onClientChanged(MUDPUnit &u, std::function<void()> fn)
{
    QObject::connect(&u, &MUDPUnit::clientChanged, &u, [fn] { fn(); });
}

void UnitInspector::onServerChanged(MUDPUnit &u, std::function<void(const QString &, unsigned short, bool)> fn)
{
    QObject::connect(&u, &MUDPUnit::serverChanged, &u,
                     [fn](char *ip, unsigned short port, bool deleted) { fn(QString::fromLatin1(ip), port, deleted); });
}
