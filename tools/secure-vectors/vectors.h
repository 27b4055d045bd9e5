// The secure channel's test vectors: fixed keys and inputs, the handshake
// transcript and sealed datagrams that two channels produce from them, as the
// text block docs/secure-protocol.md shows. The channels run on scripted
// random bytes and a fixed clock; every value is also checked against the
// handshake functions, so a mismatch names itself instead of printing.
#pragma once

#include <string>

namespace vectors {

// The block, or a line starting with "error:".
std::string secureTestVectors();

} // namespace vectors
