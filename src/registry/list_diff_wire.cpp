#include "registry/list_diff_wire.h"

#include <cstring>
#include <type_traits>

#include "registry/peer_record.h"

namespace listdiff {

namespace {

constexpr int kRecordSize = int(sizeof(PEERINFO));

void putText(QByteArray &out, const char *field, size_t width)
{
    const size_t length = strnlen(field, width - 1);
    out.append(char(uint8_t(length)));
    out.append(field, qsizetype(length));
}

template <typename T> void putNumber(QByteArray &out, T value)
{
    // Little-endian whatever the host: shifts, not the host's byte order.
    using U = std::make_unsigned_t<T>;
    const U v = U(value);
    for (size_t i = 0; i < sizeof v; ++i)
        out.append(char(uint8_t(v >> (8 * i))));
}

bool sameServer(const PEERINFO &a, const PEERINFO &b)
{
    return std::strncmp(a.serverName, b.serverName, sizeof a.serverName) == 0 &&
           std::strncmp(a.serverIp, b.serverIp, sizeof a.serverIp) == 0 && a.serverPort == b.serverPort;
}

void pack(QByteArray &out, const QByteArray &records)
{
    PEERINFO previous{};
    for (qsizetype at = 0; at + kRecordSize <= records.size(); at += kRecordSize) {
        PEERINFO r;
        std::memcpy(&r, records.constData() + at, sizeof r);
        terminatePeerTexts(r);
        const bool same = at > 0 && sameServer(r, previous);
        out.append(char(same ? kSameServer : 0));
        putText(out, r.name, sizeof r.name);
        putText(out, r.ip, sizeof r.ip);
        putText(out, r.localIp, sizeof r.localIp);
        putNumber(out, r.port);
        putNumber(out, r.localPort);
        if (!same) {
            putText(out, r.serverName, sizeof r.serverName);
            putText(out, r.serverIp, sizeof r.serverIp);
            putNumber(out, r.serverPort);
        }
        putNumber(out, r.access);
        putNumber(out, r.life);
        previous = r;
    }
}

// Reads packed records, each read checked against the body's end.
class Reader {
public:
    Reader(const char *at, const char *end) : at(at), end(end) {}

    bool records(uint32_t count, QByteArray *out)
    {
        // Every packed record takes at least 16 bytes: a count beyond what
        // the body can hold fails before anything is reserved for it.
        constexpr size_t kLeast = 1 + 3 + 4 + 8;
        if (count > size_t(end - at) / kLeast)
            return false;
        out->resize(qsizetype(count) * kRecordSize);
        PEERINFO previous{};
        for (uint32_t i = 0; i < count; ++i) {
            PEERINFO r{};
            uint8_t flags = 0;
            if (!number(&flags) || (flags & ~kSameServer) || (i == 0 && (flags & kSameServer)))
                return false;
            if (!text(r.name, sizeof r.name) || !text(r.ip, sizeof r.ip) || !text(r.localIp, sizeof r.localIp) ||
                !number(&r.port) || !number(&r.localPort))
                return false;
            if (flags & kSameServer) {
                std::memcpy(r.serverName, previous.serverName, sizeof r.serverName);
                std::memcpy(r.serverIp, previous.serverIp, sizeof r.serverIp);
                r.serverPort = previous.serverPort;
            } else if (!text(r.serverName, sizeof r.serverName) || !text(r.serverIp, sizeof r.serverIp) ||
                       !number(&r.serverPort)) {
                return false;
            }
            if (!number(&r.access) || !number(&r.life))
                return false;
            terminatePeerTexts(r); // a name cut inside a character loses its tail
            std::memcpy(out->data() + qsizetype(i) * kRecordSize, &r, sizeof r);
            previous = r;
        }
        return true;
    }

private:
    bool text(char *field, size_t width)
    {
        uint8_t length = 0;
        if (!number(&length) || length >= width || size_t(end - at) < length)
            return false;
        std::memcpy(field, at, length); // the rest of the field stays zero
        at += length;
        return true;
    }
    template <typename T> bool number(T *value)
    {
        if (size_t(end - at) < sizeof(T))
            return false;
        std::make_unsigned_t<T> v = 0;
        for (size_t i = 0; i < sizeof(T); ++i)
            v = decltype(v)(v | decltype(v)(uint8_t(at[i])) << (8 * i));
        *value = T(v);
        at += sizeof(T);
        return true;
    }

    const char *at;
    const char *end;
};

bool readFixed(const char *records, size_t length, View *out)
{
    const Head &h = out->head;
    if ((uint64_t(h.puts) + h.removes) * sizeof(PEERINFO) > length)
        return false;
    out->puts = QByteArray(records, qsizetype(h.puts) * kRecordSize);
    out->removes = QByteArray(records + out->puts.size(), qsizetype(h.removes) * kRecordSize);
    for (QByteArray *array : {&out->puts, &out->removes})
        for (qsizetype at = 0; at < array->size(); at += kRecordSize)
            terminatePeerTexts(*reinterpret_cast<PEERINFO *>(array->data() + at));
    return true;
}

} // namespace

QByteArray build(Head head, const QByteArray &puts, const QByteArray &removes)
{
    head.version = kVersionPacked;
    head.spare = 0;
    head.puts = static_cast<uint32_t>(puts.size() / kRecordSize);
    head.removes = static_cast<uint32_t>(removes.size() / kRecordSize);
    QByteArray body(reinterpret_cast<const char *>(&head), sizeof head);
    body.reserve(qsizetype(sizeof head) + (puts.size() + removes.size()) / 2);
    pack(body, puts);
    pack(body, removes);
    return body;
}

bool read(const char *body, int length, View *out)
{
    if (length < int(sizeof(Head)))
        return false;
    std::memcpy(&out->head, body, sizeof(Head));
    const Head &h = out->head;
    if ((h.version != kVersionFixed && h.version != kVersionPacked) || (h.kind != Difference && h.kind != Whole))
        return false;
    if (h.kind == Whole ? (h.from != 0 || h.removes != 0) : h.from >= h.to)
        return false;
    const char *records = body + sizeof(Head);
    const size_t left = size_t(length) - sizeof(Head);
    if (h.version == kVersionFixed)
        return readFixed(records, left, out);
    Reader reader(records, records + left);
    return reader.records(h.puts, &out->puts) && reader.records(h.removes, &out->removes);
}

PEERINFO recordAt(const QByteArray &records, uint32_t i)
{
    PEERINFO record;
    std::memcpy(&record, records.constData() + size_t(i) * sizeof record, sizeof record);
    return record;
}

} // namespace listdiff
