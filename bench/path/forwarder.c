/* mudp-path-forwarder: an emulated network path between two TUN devices.
 *
 *   mudp-path-forwarder --tun-a NAME --tun-b NAME --up LINK --down LINK
 *                       [--ready FILE] [--seconds N] [--seed N] [--flows FILE]
 *
 * Packets the system routes into device a cross the "up" direction and come
 * out of device b; packets into b cross "down" and come out of a. LINK is
 * RATE,QUEUE,DELAY,JITTER,LOSS, for example 10mbit,50ms,15ms,0ms,0%:
 * RATE in bit/s (k, m, g suffixes; "mbit" and "gbit" too; 0 for no limit),
 * QUEUE as time at that rate (ms, us) or bytes (b), DELAY and JITTER as
 * times (one way), LOSS in percent. Two more fields, REORDER,HOLD (for
 * example 3%,5ms), hold that share of the packets back by HOLD, so that
 * later ones overtake them.
 *
 * It creates both devices in its own namespace, writes FILE once they
 * exist (the caller then moves them into the namespaces of the two ends and
 * gives them addresses), and forwards until SIGTERM, SIGINT or the time
 * limit. At exit it prints one line of counters per direction, and with
 * --flows writes what each direction delivered flow by flow to FILE
 * (flow_table.h). */
#include <errno.h>
#include <getopt.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <time.h>
#include <unistd.h>

#include "flow_table.h"
#include "link_model.h"
#include "tun_device.h"

enum { MAX_PACKET = 65536, BATCH = 256 };

static volatile sig_atomic_t stop_requested;

static void on_signal(int signo)
{
    (void)signo;
    stop_requested = 1;
}

static uint64_t now_ns(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * 1000000000u + (uint64_t)ts.tv_nsec;
}

/* A number with a unit suffix, scaled to the unit's multiple; false for
 * text that is no such number or has an unknown suffix. */
struct unit_scale {
    const char *suffix;
    double scale;
};

static int parse_scaled(const char *text, const struct unit_scale *units, double *out)
{
    char *end = NULL;
    errno = 0;
    const double value = strtod(text, &end);
    if (end == text || errno || value < 0)
        return 0;
    for (const struct unit_scale *u = units; u->suffix; ++u) {
        if (strcmp(end, u->suffix) == 0) {
            *out = value * u->scale;
            return 1;
        }
    }
    return 0;
}

static const struct unit_scale rate_units[] = {{"", 1},       {"k", 1e3},      {"kbit", 1e3}, {"m", 1e6},
                                               {"mbit", 1e6}, {"g", 1e9},      {"gbit", 1e9}, {NULL, 0}};
static const struct unit_scale time_units[] = {{"s", 1e9}, {"ms", 1e6}, {"us", 1e3}, {"ns", 1}, {"", 1e6}, {NULL, 0}};
static const struct unit_scale byte_units[] = {{"b", 1}, {"kb", 1e3}, {"kib", 1024}, {"mb", 1e6}, {NULL, 0}};
static const struct unit_scale percent_units[] = {{"%", 0.01}, {"", 0.01}, {NULL, 0}};

/* RATE,QUEUE,DELAY,JITTER,LOSS[,REORDER,HOLD] */
static int parse_link(const char *text, struct link_config *config)
{
    char copy[256];
    if (strlen(text) >= sizeof copy)
        return 0;
    strcpy(copy, text);
    char *fields[8];
    int n = 0;
    for (char *save = NULL, *f = strtok_r(copy, ",", &save); f && n < 8; f = strtok_r(NULL, ",", &save))
        fields[n++] = f;
    if (n != 5 && n != 7)
        return 0;
    double reorder = 0, hold = 0;
    if (n == 7 && (!parse_scaled(fields[5], percent_units, &reorder) || reorder > 1 ||
                   !parse_scaled(fields[6], time_units, &hold)))
        return 0;
    double rate, queue, delay, jitter, loss;
    if (!parse_scaled(fields[0], rate_units, &rate) || !parse_scaled(fields[2], time_units, &delay) ||
        !parse_scaled(fields[3], time_units, &jitter) || !parse_scaled(fields[4], percent_units, &loss) ||
        loss > 1)
        return 0;
    if (parse_scaled(fields[1], byte_units, &queue)) {
        config->queue_bytes = (uint64_t)queue;
    } else if (parse_scaled(fields[1], time_units, &queue)) {
        config->queue_bytes = (uint64_t)(queue / 1e9 * rate / 8.0);
    } else {
        return 0;
    }
    config->rate_bps = rate;
    config->delay_ns = (uint64_t)delay;
    config->jitter_ns = (uint64_t)jitter;
    config->loss = loss;
    config->reorder = reorder;
    config->reorder_ns = (uint64_t)hold;
    return 1;
}

static void print_counters(const char *name, const struct link_model *link)
{
    const struct link_counters *c = &link->counters;
    printf("%s offered=%llu bytes=%llu forwarded=%llu queue_drops=%llu random_drops=%llu write_errors=%llu", name,
           (unsigned long long)c->offered, (unsigned long long)c->offered_bytes, (unsigned long long)c->forwarded,
           (unsigned long long)c->queue_drops, (unsigned long long)c->random_drops,
           (unsigned long long)c->write_errors);
    for (int k = KIND_DATA; k < KIND_COUNT; ++k)
        printf(" %s=%llu", datagram_kind_name((enum datagram_kind)k), (unsigned long long)c->kinds[k]);
    printf(" held_back=%llu duplicates=%llu\n", (unsigned long long)c->held_back, (unsigned long long)c->duplicates);
}

static void write_flows(const char *path, const struct flow_table flows[2])
{
    if (!path)
        return;
    FILE *f = fopen(path, "w");
    if (!f) {
        fprintf(stderr, "forwarder: cannot write %s\n", path);
        return;
    }
    flow_table_print(f, "up", &flows[0]);
    flow_table_print(f, "down", &flows[1]);
    fclose(f);
}

/* Reads what fd holds now, up to a batch, into the link. */
static void read_into(int fd, struct link_model *link, unsigned char *buffer)
{
    for (int i = 0; i < BATCH; ++i) {
        const ssize_t n = read(fd, buffer, MAX_PACKET);
        if (n <= 0)
            return; /* EAGAIN: drained */
        link_offer(link, buffer, (size_t)n, now_ns());
    }
}

static void usage(void)
{
    fprintf(stderr, "usage: mudp-path-forwarder --tun-a NAME --tun-b NAME --up LINK --down LINK "
                    "[--ready FILE] [--seconds N] [--seed N] [--flows FILE]\n"
                    "  LINK: RATE,QUEUE,DELAY,JITTER,LOSS[,REORDER,HOLD] e.g. 10mbit,50ms,15ms,0ms,0%%\n");
}

struct options {
    const char *tun_a, *tun_b, *ready, *flows_path;
    struct link_config up, down;
    double seconds;
    unsigned long long seed;
};

static int parse_options(int argc, char **argv, struct options *o)
{
    static const struct option options[] = {
        {"tun-a", required_argument, NULL, 'a'}, {"tun-b", required_argument, NULL, 'b'},
        {"up", required_argument, NULL, 'u'},    {"down", required_argument, NULL, 'd'},
        {"ready", required_argument, NULL, 'r'}, {"seconds", required_argument, NULL, 't'},
        {"seed", required_argument, NULL, 's'},  {"flows", required_argument, NULL, 'f'},
        {NULL, 0, NULL, 0}};
    int have_up = 0, have_down = 0;
    memset(o, 0, sizeof *o);
    o->seconds = 3600;
    o->seed = 1;
    for (int opt; (opt = getopt_long(argc, argv, "", options, NULL)) != -1;) {
        switch (opt) {
        case 'a': o->tun_a = optarg; break;
        case 'b': o->tun_b = optarg; break;
        case 'u': have_up = parse_link(optarg, &o->up); break;
        case 'd': have_down = parse_link(optarg, &o->down); break;
        case 'r': o->ready = optarg; break;
        case 't': o->seconds = atof(optarg); break;
        case 's': o->seed = strtoull(optarg, NULL, 10); break;
        case 'f': o->flows_path = optarg; break;
        default: return 0;
        }
    }
    return o->tun_a && o->tun_b && have_up && have_down && optind == argc && o->seconds > 0;
}

/* SIGTERM, SIGINT and SIGHUP end the run; they are blocked but while in
 * ppoll, which gets `during_poll`. */
static void catch_signals(sigset_t *during_poll)
{
    sigset_t blocked;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGTERM);
    sigaddset(&blocked, SIGINT);
    sigaddset(&blocked, SIGHUP);
    sigprocmask(SIG_BLOCK, &blocked, during_poll);
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_signal;
    sigaction(SIGTERM, &sa, NULL);
    sigaction(SIGINT, &sa, NULL);
    sigaction(SIGHUP, &sa, NULL);
}

static int write_ready(const char *path)
{
    FILE *f = path ? fopen(path, "w") : NULL;
    if (path && !f) {
        fprintf(stderr, "forwarder: cannot write %s\n", path);
        return 0;
    }
    if (f) {
        fprintf(f, "%ld\n", (long)getpid());
        fclose(f);
    }
    return 1;
}

/* Forwards between the devices until a signal, an error or `end`. */
static void forward(int fd_a, int fd_b, struct link_model links[2], uint64_t end, const sigset_t *during_poll,
                    unsigned char *buffer)
{
    struct pollfd fds[2] = {{fd_a, POLLIN, 0}, {fd_b, POLLIN, 0}};
    while (!stop_requested) {
        uint64_t t = now_ns();
        if (t >= end)
            break;
        link_deliver(&links[0], fd_b, t);
        link_deliver(&links[1], fd_a, t);
        uint64_t wake = end;
        for (int i = 0; i < 2; ++i)
            if (link_next_due(&links[i]) < wake)
                wake = link_next_due(&links[i]);
        t = now_ns();
        const uint64_t wait = wake > t ? wake - t : 0;
        const struct timespec timeout = {(time_t)(wait / 1000000000u), (long)(wait % 1000000000u)};
        const int ready_count = ppoll(fds, 2, &timeout, during_poll);
        if (ready_count < 0 && errno != EINTR)
            break;
        if (ready_count > 0) {
            if (fds[0].revents & POLLIN)
                read_into(fd_a, &links[0], buffer);
            if (fds[1].revents & POLLIN)
                read_into(fd_b, &links[1], buffer);
            if ((fds[0].revents | fds[1].revents) & (POLLERR | POLLHUP | POLLNVAL))
                break;
        }
    }
}

int main(int argc, char **argv)
{
    struct options o;
    if (!parse_options(argc, argv, &o)) {
        usage();
        return 2;
    }
    prctl(PR_SET_TIMERSLACK, 1UL); /* wake as close to the due times as the kernel allows */
    sigset_t during_poll;
    catch_signals(&during_poll);
    const int fd_a = tun_open(o.tun_a);
    const int fd_b = fd_a < 0 ? -1 : tun_open(o.tun_b);
    if (fd_a < 0 || fd_b < 0 || !write_ready(o.ready))
        return 1;

    struct link_model links[2];
    link_init(&links[0], &o.up, o.seed);
    link_init(&links[1], &o.down, o.seed + 1);
    static struct flow_table flows[2];
    for (int i = 0; i < 2; ++i) {
        flow_table_init(&flows[i], now_ns());
        links[i].flows = &flows[i];
    }
    unsigned char *buffer = malloc(MAX_PACKET);
    if (!buffer)
        return 1;
    forward(fd_a, fd_b, links, now_ns() + (uint64_t)(o.seconds * 1e9), &during_poll, buffer);
    print_counters("up", &links[0]);
    print_counters("down", &links[1]);
    fflush(stdout);
    write_flows(o.flows_path, flows);
    for (int i = 0; i < 2; ++i) {
        link_free(&links[i]);
        flow_table_free(&flows[i]);
    }
    free(buffer);
    close(fd_a);
    close(fd_b);
    return 0;
}
