#include "transport/dispatcher.h"

#include "core/host_bridge.h"
#include "transport/local_identity.h"
#include "transport/message.h"
#include "transport/send/control_sender.h"

static_assert(sizeof kProtocolWords / sizeof kProtocolWords[0] == static_cast<int>(Word::None), "one handler per word");

void Dispatcher::dispatch(Message &m)
{
    const ProtocolWord *word = findProtocolWord(m.fields.text(0));
    if (!word) {
        answerUnknownWord(m);
        return;
    }
    if (const Handler &handler = handlers[static_cast<int>(word->word)])
        handler(m);
}

void Dispatcher::answerUnknownWord(Message &m)
{
    const QByteArray word = m.fields.text(0);
    controls.sendText("UNKOWN$" + self.nameBytes() + "$Word Unkown:" + word, m.srcIp, m.srcPort);
    host.writeLog(tr("Unkown Protocal word:") + QString::fromLatin1(word) + fromLabel(m.record->ip));
}
