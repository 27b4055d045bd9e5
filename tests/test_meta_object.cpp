// The unit's meta-object: its twenty methods in their fixed order, the
// default-argument clones, and the connections the constructor makes.
#include <gtest/gtest.h>

#include <QMetaMethod>
#include <QTimer>
#include <cstring>

#include "support/peer.h"
#include "transport_packets.h"

namespace {

struct Expected {
    QMetaMethod::MethodType type;
    const char *signature;
    QMetaMethod::Access access;
};

const Expected kMethods[20] = {
    {QMetaMethod::Signal, "dataReady(char*,int)", QMetaMethod::Protected},
    {QMetaMethod::Signal, "userListChanged()", QMetaMethod::Protected},
    {QMetaMethod::Signal, "udpLog(QString)", QMetaMethod::Protected},
    {QMetaMethod::Signal, "clientChanged()", QMetaMethod::Protected},
    {QMetaMethod::Signal, "serverChanged(char*,ushort,bool)", QMetaMethod::Protected},
    {QMetaMethod::Signal, "bufferReadySendToAddr(NOLVUDPBUFFER*,char*,ushort)", QMetaMethod::Protected},
    {QMetaMethod::Signal, "getRecvPacket(NOLVUDPPACKET*,QHostAddress,ushort)", QMetaMethod::Protected},
    {QMetaMethod::Slot, "processPendingDatagrams()", QMetaMethod::Private},
    {QMetaMethod::Slot, "sendBufferToAddr(NOLVUDPBUFFER*,char*,ushort)", QMetaMethod::Private},
    {QMetaMethod::Slot, "sendBufferToAddr(NOLVUDPBUFFER*,char*)", QMetaMethod::Private},
    {QMetaMethod::Slot, "sendBufferToAddr(NOLVUDPBUFFER*)", QMetaMethod::Private},
    {QMetaMethod::Slot, "sendProtocol(char*,char*,ushort,int)", QMetaMethod::Private},
    {QMetaMethod::Slot, "sendProtocol(char*,char*,ushort)", QMetaMethod::Private},
    {QMetaMethod::Slot, "returnRequestedPacket(NOLVUDPPACKET*,char*,ushort)", QMetaMethod::Private},
    {QMetaMethod::Slot, "processPacket(NOLVUDPPACKET*,QHostAddress,ushort)", QMetaMethod::Private},
    {QMetaMethod::Slot, "processPacket(NOLVUDPPACKET*,QHostAddress)", QMetaMethod::Private},
    {QMetaMethod::Slot, "processPacket(NOLVUDPPACKET*)", QMetaMethod::Private},
    {QMetaMethod::Slot, "timeout()", QMetaMethod::Private},
    {QMetaMethod::Slot, "sendNewListToClient()", QMetaMethod::Private},
    {QMetaMethod::Slot, "rebuildLiveUserByServer(char*,ushort,bool)", QMetaMethod::Private},
};

} // namespace

TEST(MetaObject, TwentyMethodsInOrder)
{
    const QMetaObject &mo = MUDPUnit::staticMetaObject;
    EXPECT_STREQ(mo.className(), "MUDPUnit");
    EXPECT_EQ(mo.superClass(), &QObject::staticMetaObject);
    ASSERT_EQ(mo.methodCount() - mo.methodOffset(), 20);
    for (int i = 0; i < 20; ++i) {
        const QMetaMethod m = mo.method(mo.methodOffset() + i);
        EXPECT_EQ(m.methodType(), kMethods[i].type) << i;
        EXPECT_EQ(m.methodSignature().toStdString(), kMethods[i].signature) << i;
        EXPECT_EQ(m.access(), kMethods[i].access) << i;
    }
    EXPECT_EQ(mo.propertyCount(), mo.propertyOffset());
    EXPECT_EQ(mo.enumeratorCount(), mo.enumeratorOffset());
    EXPECT_EQ(mo.classInfoCount(), mo.classInfoOffset());
}

TEST(MetaObject, ParameterNames)
{
    const QMetaObject &mo = MUDPUnit::staticMetaObject;
    auto names = [&](const char *sig) {
        const int i = mo.indexOfMethod(sig);
        EXPECT_GE(i, 0) << sig;
        QStringList out;
        for (const QByteArray &n : mo.method(i).parameterNames())
            out << QString::fromLatin1(n);
        return out.join(',').toStdString();
    };
    EXPECT_EQ(names("dataReady(char*,int)"), "data,size");
    EXPECT_EQ(names("serverChanged(char*,ushort,bool)"), "IP,port,deleted");
    EXPECT_EQ(names("bufferReadySendToAddr(NOLVUDPBUFFER*,char*,ushort)"), "buffer,destIP,destPort");
    EXPECT_EQ(names("getRecvPacket(NOLVUDPPACKET*,QHostAddress,ushort)"), "packet,sender,sendport");
    EXPECT_EQ(names("sendBufferToAddr(NOLVUDPBUFFER*,char*,ushort)"), "buffer,IP,port");
    EXPECT_EQ(names("sendProtocol(char*,char*,ushort,int)"), "data,destIP,port,defaultsize");
    EXPECT_EQ(names("rebuildLiveUserByServer(char*,ushort,bool)"), "IP,port,deleted");
}

TEST(MetaObject, CastAndMetaObject)
{
    Peer p("meta", "127.0.0.2", 0);
    EXPECT_EQ(p->qt_metacast("MUDPUnit"), static_cast<void *>(&p.unit()));
    EXPECT_EQ(p->qt_metacast("QObject"), static_cast<void *>(static_cast<QObject *>(&p.unit())));
    EXPECT_EQ(p->qt_metacast("Nothing"), nullptr);
    EXPECT_EQ(p->metaObject(), &MUDPUnit::staticMetaObject);
}

// The clones run their slot with the declared defaults.
TEST(MetaObject, ClonesUseDefaultArguments)
{
    Peer p("meta", "127.0.0.2", 0);
    QString seenSender;
    unsigned short seenPort = 0;
    // processPacket(packet) answers an unknown word to the default source,
    // 0.0.0.0:45454; the outgoing tap sees where the answer goes.
    OutgoingTap tap = [&](QByteArray &, QHostAddress &to, quint16 &port) {
        seenSender = to.toString();
        seenPort = port;
        return false;
    };
    p.unit().setOutgoingTap(tap);
    NOLVUDPPACKET packet = tp::single(2461000, 1, "BOGUS$x");
    const int index = MUDPUnit::staticMetaObject.indexOfMethod("processPacket(NOLVUDPPACKET*)");
    NOLVUDPPACKET *arg = &packet;
    void *args[] = {nullptr, &arg};
    p->qt_metacall(QMetaObject::InvokeMetaMethod, index, args);
    EXPECT_EQ(seenSender.toStdString(), "0.0.0.0");
    EXPECT_EQ(seenPort, 45454);
    EXPECT_TRUE(p.hasLog("Unkown Protocal word:BOGUS From:0.0.0.0"));

    // sendBufferToAddr(buffer) registers a send record for 0.0.0.0:45454.
    NOLVUDPBUFFER *b = UnitInspector::buildBuffer(p.unit(), "x");
    ASSERT_NE(b, nullptr);
    const int sendIndex = MUDPUnit::staticMetaObject.indexOfMethod("sendBufferToAddr(NOLVUDPBUFFER*)");
    void *sendArgs[] = {nullptr, &b};
    p->qt_metacall(QMetaObject::InvokeMetaMethod, sendIndex, sendArgs);
    ASSERT_EQ(p.unit().parts().sends.all().size(), 1);
    EXPECT_STREQ(p.unit().parts().sends.all()[0]->ip, "0.0.0.0");
    EXPECT_EQ(p.unit().parts().sends.all()[0]->port, 45454);

    // sendProtocol(data, ip, port) takes the size from the text.
    QByteArray payload;
    p.unit().setOutgoingTap([&](QByteArray &d, QHostAddress &, quint16 &) {
        payload = d;
        return false;
    });
    char text[] = "ALIVE$meta";
    char ip[] = "127.0.0.2";
    unsigned short port = 9;
    const int protoIndex = MUDPUnit::staticMetaObject.indexOfMethod("sendProtocol(char*,char*,ushort)");
    char *textArg = text, *ipArg = ip;
    void *protoArgs[] = {nullptr, &textArg, &ipArg, &port};
    p->qt_metacall(QMetaObject::InvokeMetaMethod, protoIndex, protoArgs);
    ASSERT_EQ(payload.size(), 548);
    EXPECT_EQ(reinterpret_cast<const NOLVUDPPACKET *>(payload.constData())->len, 10);
}

TEST(MetaObject, ConstructorConnectsAndStartsTimer)
{
    ensureApplication();
    MUDPUnit unit;
    QTimer *timer = UnitInspector::timer(unit);
    EXPECT_TRUE(timer->isActive());
    EXPECT_EQ(timer->interval(), 2000);
    EXPECT_FALSE(timer->isSingleShot());
    EXPECT_EQ(timer->parent(), &unit);
    EXPECT_EQ(unit.parts().socket.socket()->parent(), &unit);
    EXPECT_EQ(unit.parts().self.boundPort, 45454);
    EXPECT_EQ(unit.parts().socket.socket()->state(), QAbstractSocket::UnconnectedState);
    auto connected = [&](const char *signal) {
        return UnitInspector::receivers(unit, QByteArray(QByteArray::number(QSIGNAL_CODE) + signal).constData());
    };
    EXPECT_EQ(connected("bufferReadySendToAddr(NOLVUDPBUFFER*,char*,unsigned short)"), 1);
    EXPECT_EQ(connected("clientChanged()"), 1);
    EXPECT_EQ(connected("getRecvPacket(NOLVUDPPACKET*,QHostAddress,unsigned short)"), 1);
    EXPECT_EQ(connected("serverChanged(char*,unsigned short,bool)"), 0);
}
