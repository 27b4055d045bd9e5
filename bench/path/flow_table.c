#include "flow_table.h"

#include <stdlib.h>
#include <string.h>

#include "datagram_kind.h"

static const uint64_t kBinNs = (uint64_t)FLOW_BIN_MS * 1000000u;

void flow_table_init(struct flow_table *table, uint64_t origin_ns)
{
    memset(table, 0, sizeof *table);
    table->origin_ns = origin_ns;
}

/* splitmix64's finaliser: spreads a key over all 64 bits. */
static uint64_t mix(uint64_t x)
{
    x ^= x >> 30;
    x *= 0xbf58476d1ce4e5b9ull;
    x ^= x >> 27;
    x *= 0x94d049bb133111ebull;
    x ^= x >> 31;
    return x ? x : 1;
}

static int seen_grow(struct seen_set *set)
{
    const size_t capacity = set->capacity ? set->capacity * 2 : 4096;
    uint64_t *slots = calloc(capacity, sizeof *slots);
    if (!slots)
        return 0;
    for (size_t i = 0; i < set->capacity; ++i) {
        if (!set->slots[i])
            continue;
        size_t j = set->slots[i] & (capacity - 1);
        while (slots[j])
            j = (j + 1) & (capacity - 1);
        slots[j] = set->slots[i];
    }
    free(set->slots);
    set->slots = slots;
    set->capacity = capacity;
    return 1;
}

/* Adds key; returns 1 when it was there already. A set that cannot grow
 * counts nothing as seen. */
static int seen_add(struct seen_set *set, uint64_t key)
{
    if ((set->used + 1) * 2 > set->capacity && !seen_grow(set))
        return 0;
    size_t j = key & (set->capacity - 1);
    for (; set->slots[j]; j = (j + 1) & (set->capacity - 1))
        if (set->slots[j] == key)
            return 1;
    set->slots[j] = key;
    ++set->used;
    return 0;
}

static uint32_t read_be32(const unsigned char *p) { return (uint32_t)p[0] << 24 | p[1] << 16 | p[2] << 8 | p[3]; }

/* The flow of an IPv4 UDP or TCP packet, made on first sight; the table's
 * catch-all for anything else. */
static struct flow_stats *flow_of(struct flow_table *table, const unsigned char *packet, size_t length)
{
    if (length < 20 || (packet[0] >> 4) != 4 || (packet[9] != 17 && packet[9] != 6))
        return &table->other;
    const size_t ihl = (size_t)(packet[0] & 0x0f) * 4;
    if (ihl < 20 || length < ihl + 4)
        return &table->other;
    const uint8_t proto = packet[9];
    const uint32_t src = read_be32(packet + 12), dst = read_be32(packet + 16);
    const uint16_t sport = (uint16_t)(packet[ihl] << 8 | packet[ihl + 1]);
    const uint16_t dport = (uint16_t)(packet[ihl + 2] << 8 | packet[ihl + 3]);
    for (int i = 0; i < table->count; ++i) {
        struct flow_stats *f = &table->flows[i];
        if (f->proto == proto && f->src == src && f->dst == dst && f->sport == sport && f->dport == dport)
            return f;
    }
    if (table->count == FLOW_MAX)
        return &table->other;
    struct flow_stats *f = &table->flows[table->count++];
    f->proto = proto;
    f->src = src;
    f->dst = dst;
    f->sport = sport;
    f->dport = dport;
    return f;
}

static void add_to_bin(struct flow_stats *f, size_t bin, uint64_t bytes)
{
    if (bin >= f->bin_count) {
        size_t count = f->bin_count ? f->bin_count : 256;
        while (count <= bin)
            count *= 2;
        uint64_t *bins = realloc(f->bins, count * sizeof *bins);
        if (!bins)
            return;
        memset(bins + f->bin_count, 0, (count - f->bin_count) * sizeof *bins);
        f->bins = bins;
        f->bin_count = count;
    }
    f->bins[bin] += bytes;
}

int flow_table_note(struct flow_table *table, const unsigned char *packet, size_t length, uint64_t now_ns)
{
    struct flow_stats *f = flow_of(table, packet, length);
    ++f->packets;
    f->bytes += length;
    if (now_ns >= table->origin_ns)
        add_to_bin(f, (size_t)((now_ns - table->origin_ns) / kBinNs), length);
    struct datagram_id id;
    if (!datagram_data_id(packet, length, &id))
        return 0;
    ++f->data;
    if (f->data_last_ns && now_ns - f->data_last_ns > f->gap_ns) {
        f->gap_ns = now_ns - f->data_last_ns;
        f->gap_end_ns = now_ns;
    }
    if (!f->data_first_ns)
        f->data_first_ns = now_ns;
    f->data_last_ns = now_ns;
    const uint64_t identity = (uint64_t)(uint32_t)id.date << 32 | (uint32_t)id.time;
    const uint64_t key = mix(identity ^ mix((uint64_t)(uint16_t)id.index));
    if (!seen_add(&f->seen, key))
        return 0;
    ++f->duplicates;
    return 1;
}

static double ms(uint64_t ns) { return (double)ns / 1e6; }

static void print_flow(FILE *out, const char *name, const struct flow_stats *f, const struct flow_table *table)
{
    char head[96];
    snprintf(head, sizeof head, "%s %s %u.%u.%u.%u:%u %u.%u.%u.%u:%u", name, f->proto == 6 ? "tcp" : "udp",
             f->src >> 24, f->src >> 16 & 255, f->src >> 8 & 255, f->src & 255, f->sport, f->dst >> 24,
             f->dst >> 16 & 255, f->dst >> 8 & 255, f->dst & 255, f->dport);
    fprintf(out,
            "flow %s packets=%llu bytes=%llu data=%llu duplicates=%llu data_first_ms=%.3f data_last_ms=%.3f "
            "gap_ms=%.3f gap_end_ms=%.3f\n",
            head, (unsigned long long)f->packets, (unsigned long long)f->bytes, (unsigned long long)f->data,
            (unsigned long long)f->duplicates, ms(f->data_first_ns), ms(f->data_last_ns), ms(f->gap_ns),
            ms(f->gap_end_ns));
    size_t used = f->bin_count;
    while (used > 0 && f->bins[used - 1] == 0)
        --used;
    fprintf(out, "bins %s origin_ms=%.3f bin_ms=%d", head, ms(table->origin_ns), FLOW_BIN_MS);
    for (size_t i = 0; i < used; ++i)
        fprintf(out, " %llu", (unsigned long long)f->bins[i]);
    fprintf(out, "\n");
}

void flow_table_print(FILE *out, const char *name, const struct flow_table *table)
{
    for (int i = 0; i < table->count; ++i)
        print_flow(out, name, &table->flows[i], table);
}

static void free_flow(struct flow_stats *f)
{
    free(f->bins);
    free(f->seen.slots);
}

void flow_table_free(struct flow_table *table)
{
    for (int i = 0; i < table->count; ++i)
        free_flow(&table->flows[i]);
    free_flow(&table->other);
    memset(table, 0, sizeof *table);
}
