// At most one log line a minute per source for events that anyone may cause
// at will (forged datagrams): the events in between are counted and told
// with the next line. Sources beyond kMaxSources share one line.
#pragma once

#include <QHash>
#include <QtGlobal>

class LogThrottle {
public:
    static constexpr int64_t kPeriodUs = 60ll * 1000 * 1000;
    static constexpr int kMaxSources = 256;

    // Whether a line about `source` may go now; *count is the events it
    // stands for (this one and those not logged since the last line).
    bool allow(quint64 source, int64_t nowUs, int *count);

private:
    struct Entry {
        int64_t lastUs = 0;
        int skipped = 0;
    };
    QHash<quint64, Entry> entries;
    int64_t lastPruneUs = 0;
};
