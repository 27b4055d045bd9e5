// What the host learns, and how: log lines, received data and list changes,
// each as a signal of the unit and as a message to the host's window. The
// parts tell the host through this bridge; the unit's façade gives it the
// signals to emit. It also owns the text converter, so that log lines and
// the names in them are converted in one place.
#pragma once

#include <QByteArray>
#include <QString>
#include <functional>

#include "mudp.h"
#include "text/text_converter.h"

class HostBridge {
public:
    // The unit's signals.
    struct Signals {
        std::function<void(const QString &line)> udpLog;
        std::function<void(char *data, int size)> dataReady;
        std::function<void()> userListChanged;
        std::function<void()> clientChanged;
        std::function<void(char *ip, unsigned short port, bool deleted)> serverChanged;
    };

    explicit HostBridge(Signals unitSignals) : emitters(std::move(unitSignals)) {}
    HostBridge(const HostBridge &) = delete;
    HostBridge &operator=(const HostBridge &) = delete;

    void setWindow(HWND window) { hostWindow = window; }
    // Whether a message to the host's window is being handled below.
    bool inside() const { return depth > 0; }
    // Runs after the outermost window message has returned.
    void setWhenLeft(std::function<void()> fn) { whenLeft = std::move(fn); }

    // One log line: time prefix, udpLog, and WM_UDP_LOG to the host window.
    void writeLog(const QString &msg);
    // udpLog alone, the text as it is.
    void emitLog(const QString &line) { emitters.udpLog(line); }
    // dataReady, then WM_UDP_DATA.
    void dataArrived(char *payload, int size);
    // userListChanged, then WM_UDP_LIST with LIST_LIVEUSER.
    void liveUsersChanged();
    // clientChanged (which pushes the new list first), then LIST_CLIENT.
    void clientsChanged();
    // serverChanged alone.
    void serverChanged(char *ip, unsigned short port, bool deleted) { emitters.serverChanged(ip, port, deleted); }
    // WM_UDP_LIST alone.
    void listChanged(int code);

    // A GB18030 name as text, and a peer as log lines show it.
    QString name(const QByteArray &gb18030);
    QString peerName(const PEERINFO *peer);
    QString peerLabel(const PEERINFO *peer); // "name ip:port"

private:
    void notify(UINT message, WPARAM wParam, LPARAM lParam);

    Signals emitters;
    TextConverter converter;
    HWND hostWindow = nullptr;
    int depth = 0; // nesting of host window messages
    std::function<void()> whenLeft;
};
