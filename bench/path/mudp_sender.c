/* mudp-path-sender: the sending end of a transfer, a client of the
 * library's public interface.
 *
 *   mudp-path-sender --addr IP --port N --server IP:PORT [--server IP:PORT ..]
 *                    --size S --seconds N [--send-at EPOCH_MS] [--echo COUNT]
 *                    [--hold-only] [--log FILE]
 *
 * Registers with the server, then sends S test bytes with sendDataToServer
 * and runs its event loop until the library logs the send's outcome or the
 * time limit is up. With several servers (at most 16) it registers with
 * each and sends the bytes once to all of them ("0.0.0.0"), and the outcome
 * is there once every destination has one. It prints one line:
 *
 *   result verdict=success|failed|none|noreg time_ms=T verdict_ms=V hold_ms=H repeats=R answers=A
 *          start_ms=M successes=K
 *
 * T runs from just before the send call to the (last) "Packet send
 * success:" log line (the transfer and the acknowledgement's way back; 0
 * without it), V to the log line of the last outcome, H is how long the
 * send call itself held the host, R counts "repeat send UDP package:" lines
 * (resends of packet 1 on the retry timer) and A the packets written again
 * for REQUESTs ("Answer lost packet:") and loss reports ("Answer lost
 * packets:", their counts); M is the send call's CLOCK_MONOTONIC time in
 * ms (receivers and the forwarder stamp with the same clock), K the destinations that succeeded.
 * With --send-at the send call waits, the event loop running, until the
 * wall clock reaches EPOCH_MS (two senders then start together or a set time
 * apart). With --hold-only it neither registers nor waits: a fresh process
 * sends S bytes once to the (silent) server address, prints
 *
 *   hold size=S hold_ms=H
 *
 * and exits. With --echo it instead sends COUNT messages of 100 bytes, each
 * after the answer to the previous one, and prints the round trips:
 *
 *   echo count=N answered=K median_ms=M p95_ms=P worst_ms=W
 *
 * With --log every log line of the library goes to FILE with the time in ms
 * since the send call. */
#include <glib.h>
#include <stdio.h>
#include <string.h>

#include "mudp.h"
#include "bench_key.h"
#include "side_common.h"

enum verdict { VERDICT_NONE, VERDICT_SUCCESS, VERDICT_FAILED };

enum { MAX_SERVERS = 16 };

struct sender {
    enum verdict verdict;
    int destinations, successes, failures;
    int64_t start_ns, verdict_ns, answer_ns;
    int repeats, answers, answered;
    FILE *log;
};

/* Counts one destination's outcome; the verdict is there once all have one. */
static void note_outcome(struct sender *s, int success, int64_t now)
{
    if (s->verdict != VERDICT_NONE)
        return;
    success ? ++s->successes : ++s->failures;
    if (s->successes + s->failures < s->destinations)
        return;
    s->verdict = s->failures ? VERDICT_FAILED : VERDICT_SUCCESS;
    s->verdict_ns = now;
}

static int starts_with(const char *text, long length, const char *word)
{
    const size_t n = strlen(word);
    return length >= (long)n && memcmp(text, word, n) == 0;
}

/* The packets a "Answer lost packets:... Count:N To ..." line queued again. */
static int answered_in_report(const char *line, long length)
{
    static const char key[] = " Count:";
    const long n = (long)sizeof key - 1;
    for (long i = 0; i + n < length; ++i)
        if (memcmp(line + i, key, (size_t)n) == 0) {
            int count = 0;
            for (long j = i + n; j < length && line[j] >= '0' && line[j] <= '9' && count < 1000000; ++j)
                count = count * 10 + (line[j] - '0');
            return count;
        }
    return 0;
}

static LRESULT on_event(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    struct sender *s = window->user;
    const int64_t now = mono_ns();
    if (message == WM_UDP_LOG && wParam && lParam > 9) {
        const char *line = (const char *)wParam + 9; /* after "hh:mm:ss:" */
        const long length = (long)lParam - 9;
        if (starts_with(line, length, "Packet send success:")) {
            note_outcome(s, 1, now);
        } else if (starts_with(line, length, "UDP package send failed:") ||
                   starts_with(line, length, "Packet send failed because some error:")) {
            note_outcome(s, 0, now);
        } else if (starts_with(line, length, "repeat send UDP package:")) {
            ++s->repeats;
        } else if (starts_with(line, length, "Answer lost packet:")) {
            ++s->answers;
        } else if (starts_with(line, length, "Answer lost packets:")) {
            s->answers += answered_in_report(line, length);
        }
        if (s->log)
            fprintf(s->log, "%.3f %.*s\n", s->start_ns ? ms_between(s->start_ns, now) : 0.0, (int)length, line);
    } else if (message == WM_UDP_DATA) {
        ++s->answered;
        s->answer_ns = now;
    }
    return 0;
}

static gboolean tick(gpointer user)
{
    (void)user;
    return G_SOURCE_CONTINUE; /* only wakes the loop to look at the clock */
}

/* Runs the event loop until done() or the deadline; false at the deadline. */
static int run_until(int (*done)(const struct sender *, long), const struct sender *s, long arg, int64_t deadline)
{
    while (!done(s, arg)) {
        if (mono_ns() >= deadline)
            return 0;
        g_main_context_iteration(NULL, TRUE);
    }
    return 1;
}

static int has_verdict(const struct sender *s, long unused)
{
    (void)unused;
    return s->verdict != VERDICT_NONE;
}

static int has_answers(const struct sender *s, long count) { return s->answered >= count; }

static int compare_doubles(const void *a, const void *b)
{
    const double x = *(const double *)a, y = *(const double *)b;
    return (x > y) - (x < y);
}

static int registered(char *ip, unsigned short port)
{
    int count = 0;
    PEERINFO *list = getServerList(&count);
    for (int i = 0; list && i < count; ++i)
        if (strncmp(list[i].ip, ip, sizeof list[i].ip) == 0 && list[i].port == port)
            return 1;
    return 0;
}

static int echo_run(struct sender *s, char *server_ip, unsigned short server_port, long count, int64_t deadline)
{
    double *rtt = calloc((size_t)count, sizeof *rtt);
    char message[100];
    memset(message, 'q', sizeof message);
    long done = 0;
    for (; rtt && done < count; ++done) {
        const int64_t t0 = mono_ns();
        s->start_ns = t0;
        sendDataToServer(message, (int)sizeof message, server_ip, server_port);
        const int64_t limit = t0 + 2000000000 < deadline ? t0 + 2000000000 : deadline;
        if (!run_until(has_answers, s, done + 1, limit))
            break;
        rtt[done] = ms_between(t0, s->answer_ns);
    }
    if (!rtt)
        return 1;
    qsort(rtt, (size_t)done, sizeof *rtt, compare_doubles);
    printf("echo count=%ld answered=%ld median_ms=%.3f p95_ms=%.3f worst_ms=%.3f\n", count, done,
           done ? rtt[done / 2] : 0.0, done ? rtt[(done * 95) / 100 < done ? (done * 95) / 100 : done - 1] : 0.0,
           done ? rtt[done - 1] : 0.0);
    free(rtt);
    return 0;
}

struct options {
    char *addr, *log_path;
    char server_ip[MAX_SERVERS][16];
    unsigned short server_port[MAX_SERVERS];
    int servers, hold_only;
    long port, size, seconds, echo;
    long long send_at_ms; /* wall clock, ms since the epoch; 0: at once */
};

/* IP:PORT into the next server slot; false when it is no such text or the slots are full. */
static int add_server(struct options *o, const char *text)
{
    const char *colon = strrchr(text, ':');
    if (!colon || colon - text >= 16 || o->servers == MAX_SERVERS)
        return 0;
    const long port = parse_count(colon + 1, 65535);
    if (port <= 0)
        return 0;
    memcpy(o->server_ip[o->servers], text, (size_t)(colon - text));
    o->server_ip[o->servers][colon - text] = '\0';
    o->server_port[o->servers++] = (unsigned short)port;
    return 1;
}

static int parse_options(int argc, char **argv, struct options *o)
{
    memset(o, 0, sizeof *o);
    o->port = o->size = o->seconds = -1;
    for (int i = 1; i < argc; ++i) {
        const char *a = argv[i], *v = i + 1 < argc ? argv[i + 1] : NULL;
        int ok = 1;
        if (strcmp(a, "--hold-only") == 0)
            o->hold_only = 1;
        else if (!v)
            ok = 0;
        else if (strcmp(a, "--addr") == 0)
            o->addr = argv[++i];
        else if (strcmp(a, "--port") == 0)
            o->port = parse_count(argv[++i], 65535);
        else if (strcmp(a, "--server") == 0)
            ok = add_server(o, argv[++i]);
        else if (strcmp(a, "--size") == 0)
            o->size = parse_count(argv[++i], 64L << 20);
        else if (strcmp(a, "--seconds") == 0)
            o->seconds = parse_count(argv[++i], 86400);
        else if (strcmp(a, "--echo") == 0)
            o->echo = parse_count(argv[++i], 1000000);
        else if (strcmp(a, "--send-at") == 0)
            o->send_at_ms = strtoll(argv[++i], NULL, 10);
        else if (strcmp(a, "--log") == 0)
            o->log_path = argv[++i];
        else
            ok = 0;
        if (!ok)
            return 0;
    }
    return o->addr && o->port > 0 && o->servers > 0 && o->seconds > 0 && o->echo >= 0 &&
           (o->size >= 0 || o->echo > 0) && !(o->echo && (o->hold_only || o->servers > 1));
}

static int64_t wall_ms(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

/* For waiting until a deadline only. */
static int never_done(const struct sender *s, long unused)
{
    (void)s, (void)unused;
    return 0;
}

/* Registers with every server, three tries each (a lossy path may drop a
 * registration or its answer); false unless all accepted. */
static int register_all(struct options *o)
{
    int all = 1;
    for (int k = 0; k < o->servers; ++k) {
        for (int attempt = 0; attempt < 3 && !registered(o->server_ip[k], o->server_port[k]); ++attempt)
            regToServer(o->server_ip[k], o->server_port[k]);
        all = all && registered(o->server_ip[k], o->server_port[k]);
    }
    return all;
}

/* The transfer: the send call, then the event loop until the outcome. */
static void transfer(struct sender *s, struct options *o, unsigned char *bytes, int64_t deadline)
{
    if (o->send_at_ms > 0) {
        const int64_t wait_ms = o->send_at_ms - wall_ms();
        if (wait_ms > 0)
            run_until(never_done, s, 0, mono_ns() + wait_ms * 1000000);
    }
    s->destinations = o->servers;
    s->start_ns = mono_ns();
    static char everyone[] = "0.0.0.0";
    sendDataToServer((char *)bytes, (int)o->size, o->servers > 1 ? everyone : o->server_ip[0],
                     o->servers > 1 ? 0 : o->server_port[0]);
    const int64_t returned = mono_ns();
    if (o->hold_only) {
        printf("hold size=%ld hold_ms=%.3f\n", o->size, ms_between(s->start_ns, returned));
        return;
    }
    run_until(has_verdict, s, 0, deadline);
    static const char *const names[] = {"none", "success", "failed"};
    printf("result verdict=%s time_ms=%.3f verdict_ms=%.3f hold_ms=%.3f repeats=%d answers=%d start_ms=%.3f "
           "successes=%d\n",
           names[s->verdict], s->verdict == VERDICT_SUCCESS ? ms_between(s->start_ns, s->verdict_ns) : 0.0,
           s->verdict != VERDICT_NONE ? ms_between(s->start_ns, s->verdict_ns) : 0.0,
           ms_between(s->start_ns, returned), s->repeats, s->answers, (double)s->start_ns / 1e6, s->successes);
}

int main(int argc, char **argv)
{
    struct options o;
    if (!parse_options(argc, argv, &o)) {
        fprintf(stderr, "usage: mudp-path-sender --addr IP --port N --server IP:PORT [--server IP:PORT ..] "
                        "--size S --seconds N [--send-at EPOCH_MS] [--echo COUNT] [--hold-only] [--log FILE]\n");
        return 2;
    }
    struct sender s = {0};
    if (o.log_path && !(s.log = fopen(o.log_path, "w"))) {
        fprintf(stderr, "mudp-path-sender: cannot write %s\n", o.log_path);
        return 1;
    }
    unsigned char *bytes = o.echo ? NULL : pattern_new(o.size);
    if (!o.echo && !bytes)
        return 1;

    struct MUDPWindow window = {on_event, &s};
    initInstance();
    setRevWindowsHandle(&window);
    if (!bench_key_from_environment()) {
        fprintf(stderr, "mudp-path-sender: the unit refused the benchmark key\n");
        return 1;
    }
    setLocalName("sender");
    setLocalAddr(o.addr);
    if (!bindPort((unsigned short)o.port)) {
        fprintf(stderr, "mudp-path-sender: cannot bind port %ld\n", o.port);
        return 1;
    }
    g_timeout_add(10, tick, NULL);
    const int64_t deadline = mono_ns() + (int64_t)o.seconds * 1000000000;
    int status = 0;
    if (o.hold_only)
        transfer(&s, &o, bytes, deadline);
    else if (!register_all(&o))
        printf(o.echo ? "echo count=%ld answered=0 noreg\n"
                      : "result verdict=noreg time_ms=0 verdict_ms=0 hold_ms=0 repeats=0 answers=0\n",
               o.echo);
    else if (o.echo)
        status = echo_run(&s, o.server_ip[0], o.server_port[0], o.echo, deadline);
    else
        transfer(&s, &o, bytes, deadline);
    fflush(stdout);
    clearInstance();
    free(bytes);
    if (s.log)
        fclose(s.log);
    return status;
}
