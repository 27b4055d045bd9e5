// Dispatch of complete messages by protocol word, the DATA handler and the
// answer to words this unit does not know.
#include "text/fixed_text.h"
#include "transport/identity.h"
#include "transport/message.h"
#include "transport/protocol_texts.h"
#include "transport/protocol_words.h"
#include "unit/mudp_unit.h"

// Handlers in the order of kProtocolWords.
const MUDPUnit::Handler MUDPUnit::kHandlers[] = {
    &MUDPUnit::handleRequest,  &MUDPUnit::handleReceived, &MUDPUnit::handleDataFail,
    &MUDPUnit::handleReg,      &MUDPUnit::handleUnreg,    &MUDPUnit::handleRegAcc,
    &MUDPUnit::handleUnregAcc, &MUDPUnit::handleAlive,    &MUDPUnit::handleReAlive,
    &MUDPUnit::handleRegDup,   &MUDPUnit::handleUnknown,  &MUDPUnit::handlePeerList,
    &MUDPUnit::handleData,     &MUDPUnit::handleTrans,    &MUDPUnit::handleTransHole,
    &MUDPUnit::handleHoleReq,  &MUDPUnit::handleHoleReg,  &MUDPUnit::handleHoleAcc,
    &MUDPUnit::handleHoleTest, &MUDPUnit::handleFeedback,
};

void MUDPUnit::dispatch(Message &m)
{
    static_assert(sizeof kHandlers / sizeof kHandlers[0] == sizeof kProtocolWords / sizeof kProtocolWords[0],
                  "one handler per word");
    const ProtocolWord *word = findProtocolWord(m.fields.text(0));
    if (!word) {
        handleUnknownWord(m);
        return;
    }
    (this->*kHandlers[static_cast<int>(word->word)])(m);
}

void MUDPUnit::sendReceived(int32_t date, int32_t time, int total, const char *ip, unsigned short port)
{
    sendText(transport::receivedText(text::fieldBytes(localName), date, time, total), ip, port);
}

void MUDPUnit::acknowledge(Message &m)
{
    m.record->acknowledged = true;
    sendReceived(m.record->date, m.record->time, m.record->total, m.srcIp, m.srcPort);
}

void MUDPUnit::handleData(Message &m)
{
    char *payload = const_cast<char *>(m.body());
    const int size = m.bodyLength();
    Q_EMIT dataReady(payload, size);
    notifyHost(WM_UDP_DATA, reinterpret_cast<WPARAM>(payload), static_cast<LPARAM>(size));
    acknowledge(m);
    writeLog(tr("Packet Received:") + QString::fromLatin1(m.messageKey) + fromLabel(m.record->ip));
}

void MUDPUnit::handleUnknownWord(Message &m)
{
    const QByteArray word = m.fields.text(0);
    sendText("UNKOWN$" + text::fieldBytes(localName) + "$Word Unkown:" + word, m.srcIp, m.srcPort);
    writeLog(tr("Unkown Protocal word:") + QString::fromLatin1(word) + fromLabel(m.record->ip));
}
