/* mudp-path-sender: the sending end of a transfer, a client of the
 * library's public interface.
 *
 *   mudp-path-sender --addr IP --port N --server IP:PORT --size S --seconds N
 *                    [--echo COUNT] [--log FILE]
 *
 * Registers with the server, then sends S test bytes with sendDataToServer
 * and runs its event loop until the library logs the send's outcome or the
 * time limit is up. It prints one line:
 *
 *   result verdict=success|failed|none|noreg time_ms=T verdict_ms=V hold_ms=H repeats=R answers=A
 *
 * T runs from just before the send call to the "Packet send success:" log
 * line (the transfer and the acknowledgement's way back; 0 without it), V
 * to the log line of either outcome, H is how long the
 * send call itself held the host, R counts "repeat send UDP package:" lines
 * (resends of packet 1 on the retry timer) and A "Answer lost packet:"
 * lines. With --echo it instead sends COUNT messages of 100 bytes, each
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
#include "side_common.h"

enum verdict { VERDICT_NONE, VERDICT_SUCCESS, VERDICT_FAILED };

struct sender {
    enum verdict verdict;
    int64_t start_ns, verdict_ns, answer_ns;
    int repeats, answers, answered;
    FILE *log;
};

static int starts_with(const char *text, long length, const char *word)
{
    const size_t n = strlen(word);
    return length >= (long)n && memcmp(text, word, n) == 0;
}

static LRESULT on_event(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    struct sender *s = window->user;
    const int64_t now = mono_ns();
    if (message == WM_UDP_LOG && wParam && lParam > 9) {
        const char *line = (const char *)wParam + 9; /* after "hh:mm:ss:" */
        const long length = (long)lParam - 9;
        if (starts_with(line, length, "Packet send success:") && s->verdict == VERDICT_NONE) {
            s->verdict = VERDICT_SUCCESS;
            s->verdict_ns = now;
        } else if ((starts_with(line, length, "UDP package send failed:") ||
                    starts_with(line, length, "Packet send failed because some error:")) &&
                   s->verdict == VERDICT_NONE) {
            s->verdict = VERDICT_FAILED;
            s->verdict_ns = now;
        } else if (starts_with(line, length, "repeat send UDP package:")) {
            ++s->repeats;
        } else if (starts_with(line, length, "Answer lost packet:")) {
            ++s->answers;
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

int main(int argc, char **argv)
{
    char *addr = NULL, *log_path = NULL, server_ip[16] = "";
    long port = -1, size = -1, seconds = -1, echo = 0, server_port = -1;
    for (int i = 1; i < argc; ++i) {
        const char *a = argv[i], *v = i + 1 < argc ? argv[i + 1] : NULL;
        if (strcmp(a, "--addr") == 0 && v) {
            addr = argv[++i];
        } else if (strcmp(a, "--port") == 0 && v) {
            port = parse_count(argv[++i], 65535);
        } else if (strcmp(a, "--server") == 0 && v) {
            const char *colon = strrchr(v, ':');
            if (colon && colon - v < (long)sizeof server_ip) {
                memcpy(server_ip, v, (size_t)(colon - v));
                server_ip[colon - v] = '\0';
                server_port = parse_count(colon + 1, 65535);
            }
            ++i;
        } else if (strcmp(a, "--size") == 0 && v) {
            size = parse_count(argv[++i], 64L << 20);
        } else if (strcmp(a, "--seconds") == 0 && v) {
            seconds = parse_count(argv[++i], 86400);
        } else if (strcmp(a, "--echo") == 0 && v) {
            echo = parse_count(argv[++i], 1000000);
        } else if (strcmp(a, "--log") == 0 && v) {
            log_path = argv[++i];
        } else {
            port = -1;
            break;
        }
    }
    if (!addr || port <= 0 || server_port <= 0 || !*server_ip || seconds <= 0 || (size < 0 && echo <= 0) ||
        echo < 0) {
        fprintf(stderr, "usage: mudp-path-sender --addr IP --port N --server IP:PORT --size S --seconds N "
                        "[--echo COUNT] [--log FILE]\n");
        return 2;
    }
    struct sender s = {0};
    if (log_path && !(s.log = fopen(log_path, "w"))) {
        fprintf(stderr, "mudp-path-sender: cannot write %s\n", log_path);
        return 1;
    }
    unsigned char *bytes = echo ? NULL : pattern_new(size);
    if (!echo && !bytes)
        return 1;

    struct MUDPWindow window = {on_event, &s};
    initInstance();
    setRevWindowsHandle(&window);
    setLocalName("sender");
    setLocalAddr(addr);
    if (!bindPort((unsigned short)port)) {
        fprintf(stderr, "mudp-path-sender: cannot bind port %ld\n", port);
        return 1;
    }
    g_timeout_add(10, tick, NULL);
    const int64_t deadline = mono_ns() + (int64_t)seconds * 1000000000;
    /* A lossy path may drop the registration or its answer: three tries. */
    for (int attempt = 0; attempt < 3 && !registered(server_ip, (unsigned short)server_port); ++attempt)
        regToServer(server_ip, (unsigned short)server_port);
    int status = 0;
    if (!registered(server_ip, (unsigned short)server_port)) {
        printf(echo ? "echo count=%ld answered=0 noreg\n" : "result verdict=noreg time_ms=0 verdict_ms=0 hold_ms=0 repeats=0 "
                                                             "answers=0\n",
               echo);
    } else if (echo) {
        status = echo_run(&s, server_ip, (unsigned short)server_port, echo, deadline);
    } else {
        s.start_ns = mono_ns();
        sendDataToServer((char *)bytes, (int)size, server_ip, (unsigned short)server_port);
        const int64_t returned = mono_ns();
        run_until(has_verdict, &s, 0, deadline);
        static const char *const names[] = {"none", "success", "failed"};
        printf("result verdict=%s time_ms=%.3f verdict_ms=%.3f hold_ms=%.3f repeats=%d answers=%d\n",
               names[s.verdict], s.verdict == VERDICT_SUCCESS ? ms_between(s.start_ns, s.verdict_ns) : 0.0,
               s.verdict != VERDICT_NONE ? ms_between(s.start_ns, s.verdict_ns) : 0.0,
               ms_between(s.start_ns, returned), s.repeats, s.answers);
    }
    fflush(stdout);
    clearInstance();
    free(bytes);
    if (s.log)
        fclose(s.log);
    return status;
}
