/* libnats on its own: the rate a plain C client reaches on this machine, and
 * the publishers of the NATS benchmark rows (bench/nats_rows.py).
 *
 *   nats_rate pub    URL N        core publish of bench.<i>.tick, then bench.end.tick
 *   nats_rate sub    URL N        receives N events of bench.*.tick; prints {"rate": events/s}
 *   nats_rate jspub  URL N        asynchronous JetStream publish of N events, all acknowledged
 *   nats_rate jssub  URL N DUR    pull-fetches and acknowledges N events through durable DUR
 */
#include <nats/nats.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

static double now(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

static void check(natsStatus s, const char *what) {
    if (s != NATS_OK) {
        fprintf(stderr, "%s: %s (%s)\n", what, natsStatus_GetText(s), nats_GetLastError(NULL));
        exit(1);
    }
}

/* Written by libnats' delivery thread only; read by main after `got` reached the count. */
typedef struct {
    atomic_long got;
    double first, last;
} Count;

static void on_msg(natsConnection *nc, natsSubscription *sub, natsMsg *msg, void *closure) {
    (void)nc, (void)sub;
    Count *c = closure;
    double t = now();
    if (atomic_load(&c->got) == 0) c->first = t;
    c->last = t;
    atomic_fetch_add(&c->got, 1);
    natsMsg_Destroy(msg);
}

int main(int argc, char **argv) {
    if (argc < 4) {
        fprintf(stderr, "usage: nats_rate pub|sub|jspub|jssub URL N [DURABLE]\n");
        return 2;
    }
    const char *mode = argv[1];
    long n = atol(argv[3]);
    natsConnection *nc = NULL;
    check(natsConnection_ConnectTo(&nc, argv[2]), "connect");
    char subject[64];
    if (strcmp(mode, "pub") == 0) {
        double start = now();
        for (long i = 0; i < n; i++) {
            snprintf(subject, sizeof subject, "bench.%ld.tick", i);
            check(natsConnection_PublishString(nc, subject, "x"), "publish");
        }
        check(natsConnection_PublishString(nc, "bench.end.tick", "end"), "publish");
        check(natsConnection_FlushTimeout(nc, 60000), "flush");
        printf("{\"rate\": %.0f}\n", n / (now() - start));
    } else if (strcmp(mode, "sub") == 0) {
        static Count c;
        natsSubscription *sub = NULL;
        check(natsConnection_Subscribe(&sub, nc, "bench.*.tick", on_msg, &c), "subscribe");
        check(natsSubscription_SetPendingLimits(sub, -1, -1), "limits");
        check(natsConnection_FlushTimeout(nc, 5000), "flush");
        printf("ready\n");
        fflush(stdout);
        double deadline = now() + 120, quiet = 0;
        long seen = 0;
        /* Ends at the count, or 2 s after the last event (core NATS may drop under load). */
        while (atomic_load(&c.got) < n && now() < deadline) {
            nats_Sleep(10);
            long got = atomic_load(&c.got);
            if (got != seen) seen = got, quiet = now();
            else if (got > 0 && now() - quiet > 2) break;
        }
        long got = atomic_load(&c.got);
        printf("{\"rate\": %.0f, \"got\": %ld}\n", got > 1 ? (got - 1) / (c.last - c.first) : 0.0, got);
        natsSubscription_Destroy(sub);
    } else if (strcmp(mode, "jspub") == 0) {
        jsCtx *js = NULL;
        jsOptions jo;
        check(jsOptions_Init(&jo), "js options");
        jo.PublishAsync.MaxPending = 4096;
        jo.PublishAsync.StallWait = 30000; /* a busy machine stalls longer than the 200 ms default */
        check(natsConnection_JetStream(&js, nc, &jo), "jetstream");
        double start = now();
        for (long i = 0; i < n; i++) {
            snprintf(subject, sizeof subject, "bench.%ld.tick", i);
            check(js_PublishAsync(js, subject, "x", 1, NULL), "publish");
        }
        jsPubOptions po;
        check(jsPubOptions_Init(&po), "pub options");
        po.MaxWait = 60000;
        check(js_PublishAsyncComplete(js, &po), "complete");
        printf("{\"rate\": %.0f}\n", n / (now() - start));
        jsCtx_Destroy(js);
    } else if (strcmp(mode, "jssub") == 0 && argc > 4) {
        jsCtx *js = NULL;
        check(natsConnection_JetStream(&js, nc, NULL), "jetstream");
        natsSubscription *sub = NULL;
        jsErrCode jerr = 0;
        check(js_PullSubscribe(&sub, js, "bench.*.tick", argv[4], NULL, NULL, &jerr), "pull subscribe");
        long got = 0;
        double start = now();
        while (got < n && now() - start < 120) {
            natsMsgList list = {0};
            natsStatus s = natsSubscription_Fetch(&list, sub, 512, 1000, &jerr);
            if (s == NATS_TIMEOUT) continue;
            check(s, "fetch");
            for (int i = 0; i < list.Count; i++) check(natsMsg_Ack(list.Msgs[i], NULL), "ack");
            got += list.Count;
            natsMsgList_Destroy(&list);
        }
        check(natsConnection_FlushTimeout(nc, 5000), "flush");
        printf("{\"rate\": %.0f, \"got\": %ld}\n", got / (now() - start), got);
        natsSubscription_Destroy(sub);
        jsCtx_Destroy(js);
    } else {
        fprintf(stderr, "unknown mode %s\n", mode);
        return 2;
    }
    natsConnection_Destroy(nc);
    return 0;
}
