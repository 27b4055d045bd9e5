#include "traffic_meter.h"

#include <QHostAddress>
#include <algorithm>
#include <cstring>

#include "unit/mudp_unit.h"
#include "transport/wire.h"

namespace bench {

TrafficMeter::TrafficMeter(MUDPUnit &unit) : unit_(&unit)
{
    unit_->setOutgoingTap([this](QByteArray &d, QHostAddress &, quint16 &) {
        ++datagrams_;
        bytes_ += d.size();
        if (d.size() < static_cast<int>(sizeof(NOLVUDPPACKET)))
            return true;
        NOLVUDPPACKET p;
        std::memcpy(&p, d.constData(), sizeof p);
        const qint64 identity = (qint64(p.date) << 32) | quint32(p.time);
        if (p.index == 1) {
            const char *dollar = static_cast<const char *>(memchr(p.data, '$', 16));
            const QByteArray word(p.data, dollar ? dollar - p.data : 0);
            ++words_[word];
            if (word == "PEERLIST" || word == "PEERDIFF")
                lists_.insert(identity, lists_.value(identity));
        }
        auto it = lists_.find(identity);
        if (it != lists_.end()) {
            *it += d.size();
            listBytes_ += d.size();
        }
        return true;
    });
}

TrafficMeter::~TrafficMeter() { unit_->setOutgoingTap(nullptr); }

void TrafficMeter::reset()
{
    datagrams_ = bytes_ = listBytes_ = 0;
    lists_.clear();
    words_.clear();
}

QByteArray TrafficMeter::wordSummary() const
{
    QList<QPair<qint64, QByteArray>> sorted;
    for (auto it = words_.begin(); it != words_.end(); ++it)
        sorted.append({-it.value(), it.key()});
    std::sort(sorted.begin(), sorted.end());
    QByteArray out;
    for (const auto &w : sorted)
        out += (out.isEmpty() ? "" : " ") + w.second + ':' + QByteArray::number(-w.first);
    return out;
}

qint64 TrafficMeter::largestListSend() const
{
    qint64 largest = 0;
    for (qint64 b : lists_)
        largest = qMax(largest, b);
    return largest;
}

} // namespace bench
