// Buffers and send records let go of by a table: freed now, or once no code
// of the unit can still hold them (core/lifetime.h).
#pragma once

#include "core/lifetime.h"
#include "core/record_table.h"
#include "transport/buffers.h"
#include "transport/record_keys.h"
#include "transport/wire.h"

using BufferTable = RecordTable<NOLVUDPBUFFER, MessageKey>;
using SendRecordTable = RecordTable<SENDRECORD, MessageKey>;

inline void retire(Lifetime &life, NOLVUDPBUFFER *buffer) { life.retire(buffer, &freeBufferItem, buffer->birth); }
inline void retire(Lifetime &life, SENDRECORD *record) { life.retire(record, &deleteItem<SENDRECORD>, record->birth); }
