#include "watched_unit.h"

#include <algorithm>

#include "bench_roles.h"

namespace bench {

WatchedUnit::WatchedUnit(int number) : unit_(std::make_unique<MUDPUnit>()), port_(clientPort(number))
{
    unit_->setLocalName(QByteArray("client-" + QByteArray::number(number)).constData());
    unit_->setLocalAddr(kAddress);
    bound_ = unit_->bindPort(port_);
    applyReceiveBuffer(*unit_);
    window_ = MUDPWindow{onMessage, this};
    unit_->setHostWindow(&window_);
}

LRESULT WatchedUnit::onMessage(HWND window, UINT message, WPARAM wParam, LPARAM)
{
    if (message == WM_UDP_LIST && wParam == LIST_LIVEUSER) {
        auto *self = static_cast<WatchedUnit *>(window->user);
        ++self->changes_;
        self->lastChangeMs_ = monoMs();
    }
    return 0;
}

bool WatchedUnit::changedFor(Check check)
{
    const bool changed = seen_[check] != changes_;
    seen_[check] = changes_;
    return changed;
}

int WatchedUnit::liveCount()
{
    int count = 0;
    unit_->exportList(MUDPUnit::List::LiveUser, &count);
    return count;
}

bool WatchedUnit::shows(unsigned short port)
{
    int count = 0;
    const PEERINFO *list = unit_->exportList(MUDPUnit::List::LiveUser, &count);
    for (int i = 0; i < count; ++i)
        if (list[i].port == port)
            return true;
    return false;
}

std::vector<unsigned short> WatchedUnit::view()
{
    int count = 0;
    const PEERINFO *list = unit_->exportList(MUDPUnit::List::LiveUser, &count);
    std::vector<unsigned short> ports{port_};
    ports.reserve(size_t(count) + 1);
    for (int i = 0; i < count; ++i)
        ports.push_back(list[i].port);
    std::sort(ports.begin(), ports.end());
    return ports;
}

} // namespace bench
