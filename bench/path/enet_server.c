/* enet-path-server: the receiving end of a transfer over ENet, for
 * comparison.
 *
 *   enet-path-server --addr IP --port N --expect SIZE --seconds N
 *
 * Accepts connections and, for every packet received on channel 0 that is
 * exactly the SIZE test bytes, answers with a reliable "done" on channel 0
 * (a packet that is not prints "data SIZE 0" and gets "bad"). Prints
 * "ready" once bound and "data SIZE INTACT MS" per packet (MS: CLOCK_MONOTONIC
 * in ms); exits after
 * SECONDS. ENet's defaults throughout: no bandwidth limits, its own MTU,
 * window and throttle. */
#include <enet/enet.h>
#include <stdio.h>
#include <string.h>

#include "side_common.h"

int main(int argc, char **argv)
{
    const char *addr = NULL;
    long port = -1, expect = -1, seconds = -1;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (strcmp(argv[i], "--addr") == 0)
            addr = argv[i + 1];
        else if (strcmp(argv[i], "--port") == 0)
            port = parse_count(argv[i + 1], 65535);
        else if (strcmp(argv[i], "--expect") == 0)
            expect = parse_count(argv[i + 1], 64L << 20);
        else if (strcmp(argv[i], "--seconds") == 0)
            seconds = parse_count(argv[i + 1], 86400);
    }
    if (!addr || port <= 0 || expect < 0 || seconds <= 0 || argc != 9) {
        fprintf(stderr, "usage: enet-path-server --addr IP --port N --expect SIZE --seconds N\n");
        return 2;
    }
    unsigned char *expected = pattern_new(expect);
    if (!expected || enet_initialize() != 0)
        return 1;
    ENetAddress address;
    if (enet_address_set_host_ip(&address, addr) != 0)
        return 2;
    address.port = (enet_uint16)port;
    ENetHost *host = enet_host_create(&address, 8, 1, 0, 0);
    if (!host) {
        fprintf(stderr, "enet-path-server: cannot bind %s:%ld\n", addr, port);
        return 1;
    }
    printf("ready\n");
    fflush(stdout);
    const int64_t end = mono_ns() + (int64_t)seconds * 1000000000;
    while (mono_ns() < end) {
        ENetEvent event;
        const int got = enet_host_service(host, &event, 10);
        if (got <= 0 || event.type != ENET_EVENT_TYPE_RECEIVE)
            continue;
        const int intact =
            pattern_intact(event.packet->data, (int64_t)event.packet->dataLength, expected, expect);
        printf("data %zu %d %.3f\n", event.packet->dataLength, intact, (double)mono_ns() / 1e6);
        fflush(stdout);
        enet_packet_destroy(event.packet);
        const char *answer = intact ? "done" : "bad";
        enet_peer_send(event.peer, 0, enet_packet_create(answer, strlen(answer) + 1, ENET_PACKET_FLAG_RELIABLE));
        enet_host_flush(host);
    }
    enet_host_destroy(host);
    enet_deinitialize();
    free(expected);
    return 0;
}
