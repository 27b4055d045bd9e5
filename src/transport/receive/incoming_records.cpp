#include "transport/receive/incoming_records.h"

IncomingRecords::~IncomingRecords()
{
    for (NOLVUDPBUFFER *b : records.takeAll())
        freeBuffer(b);
}

bool IncomingRecords::progressing(quint32 source, unsigned short port, int64_t sinceMs) const
{
    for (const NOLVUDPBUFFER *record : records.all())
        if (record->source == source && record->port == port && record->count < record->total &&
            record->lastArrivalMs >= sinceMs)
            return true;
    return false;
}
