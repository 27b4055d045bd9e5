/* enet-path-client: the sending end of a transfer over ENet.
 *
 *   enet-path-client --server IP:PORT --size S --seconds N
 *
 * Connects, then sends S test bytes as one reliable packet on channel 0
 * and services the host until the server answers "done" (success), "bad"
 * (failed: the bytes arrived damaged), the peer disconnects (failed) or
 * the time limit. Prints the same result line as mudp-path-sender:
 *
 *   result verdict=success|failed|none|noreg time_ms=T verdict_ms=V hold_ms=H repeats=0 answers=0
 *          start_ms=M
 *
 * T (and V) run from just before enet_peer_send to the answer (V also to a
 * failure); M is that moment on CLOCK_MONOTONIC, in ms. ENet's defaults:
 * no bandwidth limits given to enet_host_create, its own MTU, window and
 * throttle. */
#include <enet/enet.h>
#include <stdio.h>
#include <string.h>

#include "side_common.h"

struct options {
    char server_ip[64];
    long server_port, size, seconds;
};

/* Reads --server, --size and --seconds; 0 when one is missing or bad. */
static int parse_args(int argc, char **argv, struct options *o)
{
    *o = (struct options){"", -1, -1, -1};
    for (int i = 1; i + 1 < argc; i += 2) {
        if (strcmp(argv[i], "--server") == 0) {
            const char *colon = strrchr(argv[i + 1], ':');
            if (colon && colon - argv[i + 1] < (long)sizeof o->server_ip) {
                memcpy(o->server_ip, argv[i + 1], (size_t)(colon - argv[i + 1]));
                o->server_ip[colon - argv[i + 1]] = '\0';
                o->server_port = parse_count(colon + 1, 65535);
            }
        } else if (strcmp(argv[i], "--size") == 0) {
            o->size = parse_count(argv[i + 1], 64L << 20);
        } else if (strcmp(argv[i], "--seconds") == 0) {
            o->seconds = parse_count(argv[i + 1], 86400);
        }
    }
    return *o->server_ip && o->server_port > 0 && o->size >= 0 && o->seconds > 0 && argc == 7;
}

/* Services the host until the peer is connected; 0 at the deadline. */
static int wait_connected(ENetHost *host, ENetPeer *peer, int64_t deadline)
{
    ENetEvent event;
    while (peer && mono_ns() < deadline) {
        if (enet_host_service(host, &event, 10) > 0 && event.type == ENET_EVENT_TYPE_CONNECT)
            return 1;
    }
    return 0;
}

int main(int argc, char **argv)
{
    struct options o;
    if (!parse_args(argc, argv, &o)) {
        fprintf(stderr, "usage: enet-path-client --server IP:PORT --size S --seconds N\n");
        return 2;
    }
    unsigned char *bytes = pattern_new(o.size);
    if (!bytes || enet_initialize() != 0)
        return 1;
    ENetHost *host = enet_host_create(NULL, 1, 1, 0, 0);
    ENetAddress address;
    if (!host || enet_address_set_host_ip(&address, o.server_ip) != 0)
        return 1;
    address.port = (enet_uint16)o.server_port;
    const int64_t deadline = mono_ns() + (int64_t)o.seconds * 1000000000;
    ENetPeer *peer = enet_host_connect(host, &address, 1, 0);
    if (!wait_connected(host, peer, deadline)) {
        printf("result verdict=noreg time_ms=0 verdict_ms=0 hold_ms=0 repeats=0 answers=0\n");
        return 0;
    }
    ENetEvent event;
    /* The packet is made (and the bytes copied) before the clock starts. */
    ENetPacket *packet = enet_packet_create(bytes, (size_t)o.size, ENET_PACKET_FLAG_RELIABLE);
    const char *verdict = "none";
    double time_ms = 0, verdict_ms = 0;
    const int64_t start = mono_ns();
    const int sent = packet ? enet_peer_send(peer, 0, packet) : -1;
    const int64_t returned = mono_ns();
    if (sent != 0) {
        verdict = "failed";
        if (packet)
            enet_packet_destroy(packet);
    }
    while (sent == 0 && mono_ns() < deadline) {
        if (enet_host_service(host, &event, 1) <= 0)
            continue;
        if (event.type == ENET_EVENT_TYPE_RECEIVE) {
            const int done = event.packet->dataLength == 5 && memcmp(event.packet->data, "done", 5) == 0;
            enet_packet_destroy(event.packet);
            verdict = done ? "success" : "failed";
            verdict_ms = ms_between(start, mono_ns());
            time_ms = done ? verdict_ms : 0;
            break;
        }
        if (event.type == ENET_EVENT_TYPE_DISCONNECT) {
            verdict = "failed";
            verdict_ms = ms_between(start, mono_ns());
            break;
        }
    }
    printf("result verdict=%s time_ms=%.3f verdict_ms=%.3f hold_ms=%.3f repeats=0 answers=0 start_ms=%.3f\n",
           verdict, time_ms, verdict_ms, ms_between(start, returned), (double)start / 1e6);
    fflush(stdout);
    enet_peer_reset(peer);
    enet_host_destroy(host);
    enet_deinitialize();
    free(bytes);
    return 0;
}
