// The waits of the library: events processed and short sleeps in turns.
#pragma once

#include <QtGlobal>

namespace io {

// Processes pending events and sleeps 2 ms in turns until ms have passed.
// Each round also reads the sockets of units that are handling one of their
// own datagrams, which the event loop leaves unread meanwhile, and frees what
// the round's handlers made and let go of.
void waitWithEvents(int ms);

// Rounds of waitWithEvents run on this thread so far.
quint64 waitRounds();

} // namespace io
