#include "transport/identity.h"

#include <QDate>
#include <QTime>
#include <cstdlib>

MessageIdentity currentIdentity()
{
    const QDate date = QDate::currentDate();
    const QTime time = QTime::currentTime();
    return {static_cast<int32_t>(date.toJulianDay()),
            static_cast<int32_t>(std::abs(time.msecsTo(QTime(0, 0, 0, 0))))};
}

MessageIdentity nextIdentity(MessageIdentity &last, MessageIdentity now)
{
    constexpr int32_t kMsPerDay = 86400000;
    if (now.date < last.date || (now.date == last.date && now.time <= last.time)) {
        now = last;
        if (++now.time >= kMsPerDay) {
            ++now.date;
            now.time = 0;
        }
    }
    last = now;
    return now;
}

QByteArray identityKey(int32_t date, int32_t time)
{
    return QByteArray("$") + QByteArray::number(date) + '$' + QByteArray::number(time);
}

QByteArray packetKey(int32_t date, int32_t time, int index)
{
    return identityKey(date, time) + '$' + QByteArray::number(index);
}

QByteArray messageKey(int32_t date, int32_t time, int total)
{
    return identityKey(date, time) + " Total:" + QByteArray::number(total);
}
