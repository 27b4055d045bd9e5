#include "core/wait_generation.h"

namespace {
thread_local quint64 generation = 1;
}

namespace waitgen {

quint64 current() { return generation; }

quint64 begin() { return ++generation; }

} // namespace waitgen
