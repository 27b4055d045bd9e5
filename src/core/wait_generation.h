// Generations of the waits that process events (MUDPUnit::waitWithEvents)
// on this thread. Every record, buffer, send record and path is stamped with
// the generation current when it is made; each wait starts a new one. A frame
// suspended in a wait, or below it, was there before the wait began, so it
// holds nothing made since: what the tables let go of during a wait's round,
// and was made in that wait's generation or later, is freed when the round
// ends, while the host may go on waiting.
#pragma once

#include <QtGlobal>

namespace waitgen {

// The generation things made now belong to.
quint64 current();
// A wait begins: a new generation, returned.
quint64 begin();

} // namespace waitgen
