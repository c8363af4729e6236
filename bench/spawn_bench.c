// Times whole runs of two programs, A and B, side by side: warm-up runs of both, then
// A B A B ... until each has run RUNS times (or the time limit is reached). A run is timed
// from just before posix_spawn to the return of wait4, with CLOCK_MONOTONIC; the program
// gets exactly the environment given on the command line, standard input from /dev/null,
// standard error to /dev/null and standard output into a pipe that is drained to the end.
// Every run must exit with status 0 and, when an expected file is given, write exactly its
// bytes; anything else stops the benchmark with a message.
//
// Usage:
//   spawn_bench [-n RUNS] [-w WARMUP] [-t SECONDS] [-s SAMPLES.csv]
//               NAME_A [-e EXPECTED] [VAR=VALUE ...] -- PROGRAM [ARG ...]
//               ::: NAME_B [-e EXPECTED] [VAR=VALUE ...] -- PROGRAM [ARG ...]
// PROGRAM is an absolute path (no PATH search: the environment is exactly what is given).
//
// Peak memory comes from a separate, untimed pass before the timed runs: RSS_RUNS runs of
// each program started with fork and execve. A process started with posix_spawn shares its
// parent's memory until execve, and Linux then counts that memory into the child's
// ru_maxrss, so timed runs would report this driver's size, not the program's. After fork,
// the child holds only copies of the driver's own pages, and a few of them: build this
// driver statically and they come to about 140 KB (a program that maps nothing reports
// that much), well under any libc program here (over 500 KB). Dynamically linked, the
// driver's copy alone would be about 460 KB.
//
// Output on standard output, one "key=value ..." line per program and one for the pair:
//   name=A runs=2000 median_us=... p10_us=... p90_us=... p99_us=... maxrss_kb=...
//     minflt=... bytes=...
//   name=B ...
//   ratio=... ratio_lo=... ratio_hi=... pair_ratio=... pair_lo=... pair_hi=...
// maxrss_kb is the median ru_maxrss of the memory pass; minflt the median number of minor
// page faults that wait4 reports for the timed runs; bytes the size of the output. ratio is
// median(A) / median(B); ratio_lo and ratio_hi bound its 95% bootstrap interval; pair_ratio
// is the median of the per-pair ratios A[i] / B[i], and pair_lo and pair_hi bound its 95%
// bootstrap interval.
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

// A run that produces no output or does not end for this long is killed and counts as a
// failure. The first run in a fresh wine prefix takes about ten seconds; this is far above.
#define RUN_TIMEOUT_S 120
// Output capacity per run: the page is about 31 KB; anything near this is a broken run.
#define OUT_CAP (4u << 20)
#define MAX_ARGS 64
#define BOOTSTRAP_ROUNDS 1000
#define RSS_RUNS 10

struct program {
    const char* name;
    const char* expected_path;
    unsigned char* expected;
    size_t expected_len;
    char* env[MAX_ARGS + 1];
    char* argv[MAX_ARGS + 1];
    double* us;         // wall time of each measured run, microseconds
    long rss[RSS_RUNS]; // ru_maxrss of the memory pass, kilobytes
    long* flt;          // ru_minflt of each measured run
    size_t runs;        // measured runs so far
    size_t bytes;
};

static unsigned char out_buf[OUT_CAP];

static void on_alarm(int sig) {
    (void)sig; // only interrupts wait4
}

static double now_us(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec * 1e6 + (double)ts.tv_nsec / 1e3;
}

static void die(const char* msg) {
    fprintf(stderr, "spawn_bench: %s\n", msg);
    exit(1);
}

// Stops the benchmark when a run did not end with exit status 0.
static void check_status(const struct program* p, int status, const char* pass) {
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
        return;
    if (WIFEXITED(status))
        fprintf(stderr, "spawn_bench: %s exited with status %d (%s)\n", p->name,
                WEXITSTATUS(status), pass);
    else
        fprintf(stderr, "spawn_bench: %s ended by signal %d (%s)\n", p->name,
                WIFSIGNALED(status) ? WTERMSIG(status) : -1, pass);
    exit(1);
}

static void usage(void) {
    fprintf(stderr, "usage: spawn_bench [-n RUNS] [-w WARMUP] [-t SECONDS] [-s SAMPLES.csv]\n"
                    "         NAME_A [-e EXPECTED] [VAR=VALUE ...] -- PROGRAM [ARG ...]\n"
                    "         ::: NAME_B [-e EXPECTED] [VAR=VALUE ...] -- PROGRAM [ARG ...]\n");
    exit(2);
}

static unsigned char* read_whole(const char* path, size_t* len) {
    FILE* f = fopen(path, "rb");
    if (f == NULL)
        return NULL;
    unsigned char* buf = malloc(OUT_CAP);
    size_t n = buf ? fread(buf, 1, OUT_CAP, f) : 0;
    fclose(f);
    *len = n;
    return buf;
}

// Parses one program's group of arguments starting at argv[i]; returns the index after it.
static int parse_program(int argc, char** argv, int i, struct program* p) {
    if (i >= argc)
        usage();
    p->name = argv[i++];
    int ne = 0, na = 0;
    while (i < argc && strcmp(argv[i], "--") != 0) {
        if (strcmp(argv[i], "-e") == 0 && i + 1 < argc) {
            p->expected_path = argv[i + 1];
            i += 2;
        } else if (strchr(argv[i], '=') != NULL && ne < MAX_ARGS) {
            p->env[ne++] = argv[i++];
        } else {
            usage();
        }
    }
    if (i >= argc)
        usage();
    i++; // "--"
    while (i < argc && strcmp(argv[i], ":::") != 0 && na < MAX_ARGS)
        p->argv[na++] = argv[i++];
    if (na == 0 || p->argv[0][0] != '/')
        usage();
    p->env[ne] = NULL;
    p->argv[na] = NULL;
    if (p->expected_path) {
        p->expected = read_whole(p->expected_path, &p->expected_len);
        if (p->expected == NULL)
            die("cannot read an expected-output file");
    }
    return i;
}

// Runs the program once, untimed, started with fork and execve, its output discarded;
// returns its peak memory in kilobytes.
static long peak_memory(struct program* p) {
    pid_t pid = fork();
    if (pid < 0)
        die("fork failed");
    if (pid == 0) {
        int null_fd = open("/dev/null", O_RDWR);
        if (null_fd < 0)
            _exit(127);
        dup2(null_fd, 0);
        dup2(null_fd, 1);
        dup2(null_fd, 2);
        execve(p->argv[0], p->argv, p->env);
        _exit(127);
    }
    int status = 0;
    struct rusage ru;
    alarm(RUN_TIMEOUT_S);
    while (wait4(pid, &status, 0, &ru) < 0) {
        if (errno != EINTR)
            die("wait4 failed");
        kill(pid, SIGKILL);
    }
    alarm(0);
    check_status(p, status, "memory pass");
    return ru.ru_maxrss;
}

// Runs the program once; returns its wall time in microseconds and its minor page faults.
static double run_once(struct program* p, long* faults) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        die("pipe2 failed");
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&fa, fds[1], 1);
    posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);

    pid_t pid;
    double t0 = now_us();
    int err = posix_spawn(&pid, p->argv[0], &fa, NULL, p->argv, p->env);
    if (err != 0) {
        fprintf(stderr, "spawn_bench: cannot start %s: %s\n", p->argv[0], strerror(err));
        exit(1);
    }
    close(fds[1]);
    size_t got = 0;
    int failed = 0;
    for (;;) {
        struct pollfd pfd = {fds[0], POLLIN, 0};
        int r = poll(&pfd, 1, RUN_TIMEOUT_S * 1000);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0) {
            failed = 1;
            break;
        }
        ssize_t n = read(fds[0], out_buf + got, OUT_CAP - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += (size_t)n;
        if (got == OUT_CAP) {
            failed = 1;
            break;
        }
    }
    if (failed)
        kill(pid, SIGKILL);
    int status = 0;
    struct rusage ru;
    alarm(RUN_TIMEOUT_S);
    while (wait4(pid, &status, 0, &ru) < 0) {
        if (errno != EINTR)
            die("wait4 failed");
        kill(pid, SIGKILL);
        failed = 1;
    }
    double t1 = now_us();
    alarm(0);
    close(fds[0]);
    posix_spawn_file_actions_destroy(&fa);

    if (failed) {
        fprintf(stderr, "spawn_bench: %s hung or wrote too much; killed\n", p->name);
        exit(1);
    }
    check_status(p, status, "timed run");
    if (p->expected && (got != p->expected_len || memcmp(out_buf, p->expected, got) != 0)) {
        fprintf(stderr, "spawn_bench: %s wrote %zu bytes that differ from %s (%zu bytes)\n",
                p->name, got, p->expected_path, p->expected_len);
        exit(1);
    }
    p->bytes = got;
    *faults = ru.ru_minflt;
    return t1 - t0;
}

static int cmp_double(const void* a, const void* b) {
    double x = *(const double*)a, y = *(const double*)b;
    return (x > y) - (x < y);
}

// Median of n values; reorders the array.
static double median(double* v, size_t n) {
    qsort(v, n, sizeof *v, cmp_double);
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// Nearest-rank percentile of a sorted array, q in [0, 1].
static double percentile(const double* sorted, size_t n, double q) {
    return sorted[(size_t)(q * (double)(n - 1) + 0.5)];
}

static uint64_t rng_state = 0x9e3779b97f4a7c15ull;

static uint64_t rng_next(void) {
    uint64_t x = rng_state;
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    return rng_state = x;
}

// The median of a resample (with replacement) of n values.
static double resampled_median(const double* v, size_t n, double* scratch) {
    for (size_t i = 0; i < n; i++)
        scratch[i] = v[rng_next() % n];
    return median(scratch, n);
}

// The median of n counts.
static double median_count(const long* v, size_t n) {
    double* d = malloc(n * sizeof *d);
    if (d == NULL)
        die("out of memory");
    for (size_t i = 0; i < n; i++)
        d[i] = (double)v[i];
    double m = median(d, n);
    free(d);
    return m;
}

// Prints the line of one program; returns the median of its run times.
static double report(struct program* p) {
    size_t n = p->runs;
    double* s = malloc(n * sizeof *s);
    if (s == NULL)
        die("out of memory");
    memcpy(s, p->us, n * sizeof *s);
    double med = median(s, n);
    printf("name=%s runs=%zu median_us=%.1f p10_us=%.1f p90_us=%.1f p99_us=%.1f "
           "maxrss_kb=%.0f minflt=%.0f bytes=%zu\n",
           p->name, n, med, percentile(s, n, 0.10), percentile(s, n, 0.90), percentile(s, n, 0.99),
           median_count(p->rss, RSS_RUNS), median_count(p->flt, n), p->bytes);
    free(s);
    return med;
}

int main(int argc, char** argv) {
    size_t runs = 2000, warmup = 50;
    double limit_s = 600;
    const char* samples_path = NULL;
    int i = 1;
    while (i < argc && argv[i][0] == '-' && argv[i][1] != '\0' && argv[i][2] == '\0') {
        if (i + 1 >= argc)
            usage();
        switch (argv[i][1]) {
        case 'n':
            runs = strtoul(argv[i + 1], NULL, 10);
            break;
        case 'w':
            warmup = strtoul(argv[i + 1], NULL, 10);
            break;
        case 't':
            limit_s = strtod(argv[i + 1], NULL);
            break;
        case 's':
            samples_path = argv[i + 1];
            break;
        default:
            usage();
        }
        i += 2;
    }
    if (runs < 1)
        usage();
    struct program progs[2];
    memset(progs, 0, sizeof progs);
    i = parse_program(argc, argv, i, &progs[0]);
    if (i >= argc || strcmp(argv[i], ":::") != 0)
        usage();
    i = parse_program(argc, argv, i + 1, &progs[1]);
    if (i != argc)
        usage();

    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_alarm; // no SA_RESTART: the alarm must interrupt wait4
    sigaction(SIGALRM, &sa, NULL);
    signal(SIGPIPE, SIG_IGN);

    for (int k = 0; k < 2; k++) {
        progs[k].us = malloc(runs * sizeof(double));
        progs[k].flt = malloc(runs * sizeof(long));
        if (!progs[k].us || !progs[k].flt)
            die("out of memory");
    }

    double start = now_us();
    for (int r = 0; r < RSS_RUNS; r++)
        for (int k = 0; k < 2; k++)
            progs[k].rss[r] = peak_memory(&progs[k]);
    long faults;
    for (size_t w = 0; w < warmup; w++)
        for (int k = 0; k < 2; k++)
            run_once(&progs[k], &faults);
    for (size_t r = 0; r < runs; r++) {
        for (int k = 0; k < 2; k++) {
            struct program* p = &progs[k];
            p->us[p->runs] = run_once(p, &p->flt[p->runs]);
            p->runs++;
        }
        if ((now_us() - start) / 1e6 > limit_s) {
            fprintf(stderr, "spawn_bench: time limit of %.0f s reached after %zu pairs\n", limit_s,
                    r + 1);
            break;
        }
    }

    if (samples_path) {
        FILE* f = fopen(samples_path, "w");
        if (f) {
            const char* a = progs[0].name;
            const char* b = progs[1].name;
            fprintf(f, "run,%s_us,%s_us,%s_minflt,%s_minflt\n", a, b, a, b);
            for (size_t r = 0; r < progs[0].runs; r++)
                fprintf(f, "%zu,%.1f,%.1f,%ld,%ld\n", r, progs[0].us[r], progs[1].us[r],
                        progs[0].flt[r], progs[1].flt[r]);
            fclose(f);
        }
    }

    double ma = report(&progs[0]);
    double mb = report(&progs[1]);

    size_t n = progs[0].runs;
    double* scratch = malloc(n * sizeof(double));
    double* ratios = malloc(BOOTSTRAP_ROUNDS * sizeof(double));
    double* pairs = malloc(n * sizeof(double));
    if (scratch == NULL || ratios == NULL || pairs == NULL)
        die("out of memory");
    for (int b = 0; b < BOOTSTRAP_ROUNDS; b++) {
        double ra = resampled_median(progs[0].us, n, scratch);
        double rb = resampled_median(progs[1].us, n, scratch);
        ratios[b] = ra / rb;
    }
    qsort(ratios, BOOTSTRAP_ROUNDS, sizeof(double), cmp_double);
    double ratio_lo = percentile(ratios, BOOTSTRAP_ROUNDS, 0.025);
    double ratio_hi = percentile(ratios, BOOTSTRAP_ROUNDS, 0.975);
    for (size_t r = 0; r < n; r++)
        pairs[r] = progs[0].us[r] / progs[1].us[r];
    for (int b = 0; b < BOOTSTRAP_ROUNDS; b++)
        ratios[b] = resampled_median(pairs, n, scratch);
    qsort(ratios, BOOTSTRAP_ROUNDS, sizeof(double), cmp_double);
    double pair = median(pairs, n);
    printf("ratio=%.3f ratio_lo=%.3f ratio_hi=%.3f pair_ratio=%.3f pair_lo=%.3f pair_hi=%.3f\n",
           ma / mb, ratio_lo, ratio_hi, pair, percentile(ratios, BOOTSTRAP_ROUNDS, 0.025),
           percentile(ratios, BOOTSTRAP_ROUNDS, 0.975));
    return 0;
}
