// Dispatch of complete messages by protocol word to the handlers the parts
// register, and the answer to words this unit does not know.
#pragma once

#include <functional>

#include "transport/protocol_words.h"

class ControlSender;
class HostBridge;
struct LocalIdentity;
struct Message;

class Dispatcher {
public:
    using Handler = std::function<void(Message &m)>;

    Dispatcher(LocalIdentity &self, ControlSender &controls, HostBridge &host)
        : self(self), controls(controls), host(host)
    {
    }

    // The handler of one protocol word.
    void on(Word word, Handler handler) { handlers[static_cast<int>(word)] = std::move(handler); }
    void dispatch(Message &m);

private:
    void answerUnknownWord(Message &m);

    LocalIdentity &self;
    ControlSender &controls;
    HostBridge &host;
    Handler handlers[static_cast<int>(Word::None)];
};
