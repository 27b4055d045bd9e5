// Making and checking PEERINFO records.
#pragma once

#include "mudp.h"

// Terminates every text field of a record that came from the network inside
// its width (a name at a character boundary); the rest is left as received.
void terminatePeerTexts(PEERINFO &peer);
