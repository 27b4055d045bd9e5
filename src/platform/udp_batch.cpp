#include "platform/udp_batch.h"

#if defined(__linux__)
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

namespace platform {

#if defined(__linux__)

namespace {
constexpr int kMaxBatch = 64;
}

bool udpBatchingAvailable() { return true; }

int writeDatagrams(qintptr descriptor, const OutDatagram *datagrams, int n)
{
    int done = 0;
    while (done < n) {
        const int count = n - done < kMaxBatch ? n - done : kMaxBatch;
        mmsghdr messages[kMaxBatch];
        iovec parts[kMaxBatch];
        sockaddr_in to[kMaxBatch];
        std::memset(messages, 0, sizeof(mmsghdr) * size_t(count));
        for (int i = 0; i < count; ++i) {
            const OutDatagram &d = datagrams[done + i];
            std::memset(&to[i], 0, sizeof to[i]);
            to[i].sin_family = AF_INET;
            to[i].sin_port = htons(d.port);
            to[i].sin_addr.s_addr = htonl(d.address);
            parts[i].iov_base = const_cast<char *>(d.data);
            parts[i].iov_len = size_t(d.size);
            messages[i].msg_hdr.msg_name = &to[i];
            messages[i].msg_hdr.msg_namelen = sizeof to[i];
            messages[i].msg_hdr.msg_iov = &parts[i];
            messages[i].msg_hdr.msg_iovlen = 1;
        }
        const int sent = sendmmsg(int(descriptor), messages, unsigned(count), MSG_DONTWAIT);
        if (sent < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOBUFS)
                return done;
            // Refused (an unreachable address, a port the system rejects):
            // this one is lost, the others still go.
            ++done;
            continue;
        }
        done += sent;
        if (sent < count && sent == 0)
            return done;
    }
    return done;
}

int readDatagrams(qintptr descriptor, InDatagram *datagrams, int n)
{
    if (n > kMaxBatch)
        n = kMaxBatch;
    mmsghdr messages[kMaxBatch];
    iovec parts[kMaxBatch];
    sockaddr_storage from[kMaxBatch];
    std::memset(messages, 0, sizeof(mmsghdr) * size_t(n));
    for (int i = 0; i < n; ++i) {
        parts[i].iov_base = datagrams[i].data;
        parts[i].iov_len = size_t(datagrams[i].capacity);
        messages[i].msg_hdr.msg_name = &from[i];
        messages[i].msg_hdr.msg_namelen = sizeof from[i];
        messages[i].msg_hdr.msg_iov = &parts[i];
        messages[i].msg_hdr.msg_iovlen = 1;
    }
    int got;
    do {
        got = recvmmsg(int(descriptor), messages, unsigned(n), MSG_DONTWAIT | MSG_TRUNC, nullptr);
    } while (got < 0 && errno == EINTR);
    if (got <= 0)
        return 0;
    for (int i = 0; i < got; ++i) {
        InDatagram &d = datagrams[i];
        d.size = int(messages[i].msg_len);
        d.address = 0;
        d.port = 0;
        if (from[i].ss_family == AF_INET) {
            const auto *v4 = reinterpret_cast<const sockaddr_in *>(&from[i]);
            d.address = ntohl(v4->sin_addr.s_addr);
            d.port = ntohs(v4->sin_port);
        }
    }
    return got;
}

void setSocketBuffers(qintptr descriptor, int bytes)
{
    setsockopt(int(descriptor), SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
    setsockopt(int(descriptor), SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes);
}

#else

bool udpBatchingAvailable() { return false; }
int writeDatagrams(qintptr, const OutDatagram *, int) { return 0; }
int readDatagrams(qintptr, InDatagram *, int) { return 0; }
void setSocketBuffers(qintptr, int) {}

#endif

} // namespace platform
