// The exported functions: each forwards to the current unit. Without a unit,
// or with a null text where one is needed, a call does nothing and returns
// its empty result.
#include "api/instance.h"
#include "unit/mudp_unit.h"

using api::unit;

extern "C" {

MUDP_API void setLocalName(char *name)
{
    if (unit() && name)
        unit()->setLocalName(name);
}

MUDP_API void setLocalAddr(char *addr)
{
    if (unit() && addr)
        unit()->setLocalAddr(addr);
}

MUDP_API bool bindPort(unsigned short port)
{
    return unit() ? unit()->bindPort(port) : false;
}

MUDP_API unsigned short autoBind(unsigned short first, unsigned short last)
{
    return unit() ? unit()->autoBind(first, last) : 0;
}

MUDP_API void setRevWindowsHandle(HWND window)
{
    if (unit())
        unit()->setHostWindow(window);
}

MUDP_API void regToServer(char *serverIp, unsigned short serverPort)
{
    if (unit() && serverIp)
        unit()->regToServer(serverIp, serverPort);
}

MUDP_API void unRegFromServer(char *serverIp, unsigned short serverPort)
{
    if (unit() && serverIp)
        unit()->unRegFromServer(serverIp, serverPort);
}

MUDP_API void sendDataToServer(char *data, int size, char *serverIp, unsigned short serverPort)
{
    if (unit() && serverIp)
        unit()->sendBufferToServer(data, size, serverIp, serverPort, nullptr);
}

MUDP_API void sendDataToClient(char *data, int size, char *clientIp, unsigned short clientPort)
{
    if (unit() && clientIp)
        unit()->sendBufferToClient(data, size, clientIp, clientPort, nullptr);
}

MUDP_API void sendDataToLiveUser(char *data, int size, char *ip, unsigned short port, char *name,
                                 char *serverIp, unsigned short serverPort)
{
    if (unit() && ip)
        unit()->sendDataToLiveUser(data, size, ip, port, name, serverIp, serverPort);
}

MUDP_API PEERINFO *getServerList(int *count)
{
    return unit() ? unit()->exportList(MUDPUnit::List::Server, count) : nullptr;
}

MUDP_API PEERINFO *getClientList(int *count)
{
    return unit() ? unit()->exportList(MUDPUnit::List::Client, count) : nullptr;
}

MUDP_API PEERINFO *getLiveUserList(int *count)
{
    return unit() ? unit()->exportList(MUDPUnit::List::LiveUser, count) : nullptr;
}

MUDP_API char *getAddrForPeer(void)
{
    static char none[1] = {'\0'};
    return unit() ? unit()->getAddrForPeer() : none;
}

MUDP_API unsigned short getPortForPeer(void)
{
    return unit() ? unit()->getPortForPeer() : 0;
}

MUDP_API int setNetworkKey(const unsigned char *key, int length)
{
    return unit() && unit()->setNetworkKey(key, length) ? 1 : 0;
}

} // extern "C"
