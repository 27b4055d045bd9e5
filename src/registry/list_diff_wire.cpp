#include "registry/list_diff_wire.h"

#include <cstring>

#include "registry/peer_record.h"

namespace listdiff {

QByteArray build(Head head, const QByteArray &puts, const QByteArray &removes)
{
    head.version = kVersion;
    head.spare = 0;
    head.puts = static_cast<uint32_t>(puts.size() / qsizetype(sizeof(PEERINFO)));
    head.removes = static_cast<uint32_t>(removes.size() / qsizetype(sizeof(PEERINFO)));
    QByteArray body(reinterpret_cast<const char *>(&head), sizeof head);
    body += puts;
    body += removes;
    return body;
}

bool read(const char *body, int length, View *out)
{
    if (length < int(sizeof(Head)))
        return false;
    std::memcpy(&out->head, body, sizeof(Head));
    const Head &h = out->head;
    if (h.version != kVersion || (h.kind != Difference && h.kind != Whole))
        return false;
    if (h.kind == Whole ? (h.from != 0 || h.removes != 0) : h.from >= h.to)
        return false;
    const uint64_t records = uint64_t(h.puts) + h.removes;
    if (records * sizeof(PEERINFO) > uint64_t(length) - sizeof(Head))
        return false;
    out->puts = body + sizeof(Head);
    out->removes = out->puts + size_t(h.puts) * sizeof(PEERINFO);
    return true;
}

PEERINFO recordAt(const char *records, uint32_t i)
{
    PEERINFO record;
    std::memcpy(&record, records + size_t(i) * sizeof record, sizeof record);
    terminatePeerTexts(record);
    return record;
}

} // namespace listdiff
