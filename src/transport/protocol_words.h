// The protocol words and how their messages travel.
#pragma once

enum class Word {
    Request, Received, DataFail, Reg, Unreg, RegAcc, UnregAcc, Alive, ReAlive, RegDup, Unknown,
    PeerList, Data, Trans, TransHole, HoleReq, HoleReg, HoleAcc, HoleTest, Feedback,
    PeerDiff, PeerSync,
    None // not a protocol word
};

struct ProtocolWord {
    Word word;
    const char *text;
    bool buffered; // travels as an acknowledged buffer and is kept for repeat detection
};

// The nineteen words of the protocol in the order the dispatcher tests them,
// then FEEDBACK, PEERDIFF and PEERSYNC, which only our own units send each
// other.
extern const ProtocolWord kProtocolWords[22];

// The word that text names, compared without regard to letter case.
const ProtocolWord *findProtocolWord(const char *text);
