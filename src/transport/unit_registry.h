// The units living on the current thread, whose sockets the waits read.
#pragma once

class MUDPUnit;

void registerUnit(MUDPUnit *unit);
void unregisterUnit(MUDPUnit *unit);
