#include "transport/receive/incoming_records.h"

IncomingRecords::~IncomingRecords()
{
    for (NOLVUDPBUFFER *b : records.takeAll())
        freeBuffer(b);
}
