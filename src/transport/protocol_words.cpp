#include "transport/protocol_words.h"


const ProtocolWord kProtocolWords[22] = {
    {Word::Request, "REQUEST", false},
    {Word::Received, "RECEIVED", false},
    {Word::DataFail, "DATAFAIL", false},
    {Word::Reg, "REG", false},
    {Word::Unreg, "UNREG", false},
    {Word::RegAcc, "REGACC", false},
    {Word::UnregAcc, "UNREGACC", false},
    {Word::Alive, "ALIVE", false},
    {Word::ReAlive, "RE_ALIVE", false},
    {Word::RegDup, "REGDUP", false},
    {Word::Unknown, "UNKOWN", false},
    {Word::PeerList, "PEERLIST", true},
    {Word::Data, "DATA", true},
    {Word::Trans, "TRANS", true},
    {Word::TransHole, "TRANSHOLE", false},
    {Word::HoleReq, "HOLEREQ", false},
    {Word::HoleReg, "HOLEREG", false},
    {Word::HoleAcc, "HOLEACC", false},
    {Word::HoleTest, "NOLVHOLE", false},
    {Word::Feedback, "FEEDBACK", false}, // our own: sent only to peers that mark their datagrams
    {Word::PeerDiff, "PEERDIFF", true},  // our own: user lists by difference, to clients that mark theirs
    {Word::PeerSync, "PEERSYNC", false}, // our own: a client asks its server for the whole list again
};

namespace {
// ASCII-only case folding: the result must not depend on the host's locale.
bool equalsIgnoringCase(const char *a, const char *b)
{
    for (;; ++a, ++b) {
        char x = *a, y = *b;
        if (x >= 'a' && x <= 'z')
            x = static_cast<char>(x - 'a' + 'A');
        if (y >= 'a' && y <= 'z')
            y = static_cast<char>(y - 'a' + 'A');
        if (x != y)
            return false;
        if (x == '\0')
            return true;
    }
}
} // namespace

const ProtocolWord *findProtocolWord(const char *text)
{
    for (const ProtocolWord &w : kProtocolWords)
        if (equalsIgnoringCase(w.text, text))
            return &w;
    return nullptr;
}
