/* The black-box benchmark's measuring tools, in plain C so that they cost
 * next to nothing beside the application they measure.
 *
 *   floor tree DIR N
 *       Makes N Desktop items in DIR, three quarters small files and one
 *       quarter folders holding one small file, and prints their names.
 *
 *   floor manifest FILE N FROM TO
 *       Writes a restore manifest of N records (FROM/name back from TO/name)
 *       in the application's pretty-printed layout.
 *
 *   floor move FROM TO LIST
 *       The file system's own cost of a run: for every name in LIST (one a
 *       line) one stat of TO/name and one renameat2(RENAME_NOREPLACE) of
 *       FROM/name onto it. When the name is taken in TO (the all-collide
 *       tree), the numbered name "name 1" is tested too: two stats per item.
 *       Prints the elapsed milliseconds.
 *
 *   floor click STARTDIR ENDDIR MANIFEST MIRROR
 *       Clicks the left pointer button where the pointer is (through the X
 *       server's XTest extension, as xdotool does) and prints the
 *       milliseconds from the button's release (a button acts on release) to
 *       the moment MIRROR is replaced, which the application does right
 *       after replacing MANIFEST (in ENDDIR) and right before writing its
 *       closing log line. A run has started when STARTDIR (the Desktop)
 *       changes; fails when that does not happen within 10 s, or the run
 *       does not end within 300 s. Also prints the milliseconds to the
 *       run's first move and to the manifest's replacement.
 *
 *   floor idle PID QUIET_MS
 *       Waits until the CPU time of PID (all threads, user + system) has not
 *       grown for QUIET_MS and prints that CPU time in milliseconds and the
 *       peak resident size (VmHWM) in kB.
 */
#define _GNU_SOURCE
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

static double now_ms(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec * 1e3 + (double)ts.tv_nsec / 1e6;
}

static void die(const char *what) {
    fprintf(stderr, "floor: %s: %s\n", what, errno ? strerror(errno) : "failed");
    exit(1);
}

/* ------------------------------------------------------------- fixtures */

static void item_name(char *out, size_t size, int i) {
    if (i % 4 == 3) {
        snprintf(out, size, "文件夹 %d", i);
    } else {
        snprintf(out, size, "文件 %d.txt", i);
    }
}

static void write_small(const char *path, const char *text) {
    const int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0 || write(fd, text, strlen(text)) != (ssize_t)strlen(text) || close(fd) != 0) {
        die(path);
    }
}

static int floor_tree(const char *dir, int n) {
    char name[256], path[PATH_MAX];
    for (int i = 0; i < n; ++i) {
        item_name(name, sizeof name, i);
        snprintf(path, sizeof path, "%s/%s", dir, name);
        if (i % 4 == 3) {
            if (mkdir(path, 0755) != 0) {
                die(path);
            }
            strncat(path, "/inner.txt", sizeof path - strlen(path) - 1);
            write_small(path, "inner\n");
        } else {
            write_small(path, "some small text\n");
        }
        printf("%s\n", name);
    }
    return fflush(stdout) == 0 ? 0 : 1;
}

static int floor_manifest(const char *file, int n, const char *from, const char *to) {
    FILE *out = fopen(file, "w");
    if (!out) {
        die(file);
    }
    char name[256];
    fputs("[\n", out);
    for (int i = 0; i < n; ++i) {
        item_name(name, sizeof name, i);
        fprintf(out,
                "    {\n"
                "        \"movedAt\": %d,\n"
                "        \"name\": \"%s\",\n"
                "        \"originalPath\": \"%s/%s\",\n"
                "        \"storedPath\": \"%s/%s\"\n"
                "    }%s\n",
                1700000000 + i, name, from, name, to, name, i + 1 < n ? "," : "");
    }
    fputs("]\n", out);
    return fclose(out) == 0 ? 0 : 1;
}

/* ------------------------------------------------------------------ move */

static int floor_move(const char *from, const char *to, const char *list) {
    FILE *in = fopen(list, "r");
    if (!in) {
        die(list);
    }
    size_t count = 0, capacity = 1024;
    char **names = malloc(capacity * sizeof *names);
    char line[PATH_MAX];
    while (fgets(line, sizeof line, in)) {
        line[strcspn(line, "\n")] = '\0';
        if (line[0] == '\0') {
            continue;
        }
        if (count == capacity) {
            capacity *= 2;
            names = realloc(names, capacity * sizeof *names);
        }
        names[count++] = strdup(line);
    }
    fclose(in);

    /* Paths are built before the clock starts, as the application has its
     * listing in memory before it moves anything. */
    char **sources = malloc(count * sizeof *sources);
    char **destinations = malloc(count * sizeof *destinations);
    char **numbered = malloc(count * sizeof *numbered);
    for (size_t i = 0; i < count; ++i) {
        if (asprintf(&sources[i], "%s/%s", from, names[i]) < 0 ||
            asprintf(&destinations[i], "%s/%s", to, names[i]) < 0 ||
            asprintf(&numbered[i], "%s/%s 1", to, names[i]) < 0) {
            die("asprintf");
        }
    }

    size_t failed = 0;
    struct stat st;
    const double start = now_ms();
    for (size_t i = 0; i < count; ++i) {
        const char *destination = destinations[i];
        if (stat(destination, &st) == 0) {
            destination = numbered[i];
            (void)stat(destination, &st);
        }
        if (renameat2(AT_FDCWD, sources[i], AT_FDCWD, destination, RENAME_NOREPLACE) != 0) {
            ++failed;
        }
    }
    const double elapsed = now_ms() - start;
    if (failed != 0) {
        fprintf(stderr, "floor: %zu of %zu moves failed\n", failed, count);
        return 1;
    }
    printf("%.1f\n", elapsed);
    for (size_t i = 0; i < count; ++i) {
        free(names[i]);
        free(sources[i]);
        free(destinations[i]);
        free(numbered[i]);
    }
    free(names);
    free(sources);
    free(destinations);
    free(numbered);
    return 0;
}

/* ----------------------------------------------------------------- click */

static ino_t inode_of(const char *path) {
    struct stat st;
    return stat(path, &st) == 0 ? st.st_ino : 0;
}

/* Waits for one inotify event on fd naming `name` (any name when NULL),
 * until the monotonic deadline. Returns 1 when seen, 0 on time-out. */
static int wait_event(int fd, const char *name, double deadline) {
    char buffer[64 * 1024] __attribute__((aligned(__alignof__(struct inotify_event))));
    for (;;) {
        const double left = deadline - now_ms();
        if (left <= 0) {
            return 0;
        }
        struct pollfd p = {fd, POLLIN, 0};
        const int ready = poll(&p, 1, (int)left + 1);
        if (ready < 0 && errno != EINTR) {
            die("poll");
        }
        if (ready <= 0) {
            continue;
        }
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0) {
            die("read inotify");
        }
        for (char *at = buffer; at < buffer + n;) {
            const struct inotify_event *event = (const struct inotify_event *)at;
            if (name == NULL || (event->len > 0 && strcmp(event->name, name) == 0)) {
                return 1;
            }
            at += sizeof *event + event->len;
        }
    }
}

static int floor_click(const char *startdir, const char *enddir, const char *manifest,
                       const char *mirror) {
    Display *display = XOpenDisplay(NULL);
    int event_base, error_base, major, minor;
    if (!display || !XTestQueryExtension(display, &event_base, &error_base, &major, &minor)) {
        fprintf(stderr, "floor: no X display with the XTest extension\n");
        return 1;
    }
    const ino_t mirror_before = inode_of(mirror);
    const char *manifest_name = strrchr(manifest, '/') ? strrchr(manifest, '/') + 1 : manifest;

    int start_fd = inotify_init1(IN_CLOEXEC);
    int end_fd = inotify_init1(IN_CLOEXEC);
    if (start_fd < 0 || end_fd < 0) {
        die("inotify_init1");
    }
    /* One-shot: the watch is gone after the first change, so the remaining
     * moves of the run pay nothing for it. */
    if (inotify_add_watch(start_fd, startdir,
                          IN_ONESHOT | IN_MOVED_FROM | IN_MOVED_TO | IN_CREATE | IN_DELETE) < 0) {
        die(startdir);
    }
    if (inotify_add_watch(end_fd, enddir, IN_MOVED_TO) < 0) {
        die(enddir);
    }

    /* The press is not timed: nothing happens until the release. */
    XTestFakeButtonEvent(display, 1, True, CurrentTime);
    XSync(display, False);
    struct timespec settle = {0, 100 * 1000000}; /* 100 ms */
    nanosleep(&settle, NULL);

    const double start = now_ms();
    XTestFakeButtonEvent(display, 1, False, CurrentTime);
    XFlush(display);
    const int seen = wait_event(start_fd, NULL, start + 10000);
    const double started = now_ms();
    if (!seen) {
        fprintf(stderr, "floor: the click did not start a run within 10 s\n");
        return 1;
    }
    if (!wait_event(end_fd, manifest_name, start + 300000)) {
        fprintf(stderr, "floor: the run did not replace the manifest within 300 s\n");
        return 1;
    }
    const double manifest_at = now_ms();
    /* The mirror follows within milliseconds; its folder is the target,
     * which is not watched during the run (every move would be an event). */
    while (inode_of(mirror) == mirror_before) {
        if (now_ms() - manifest_at > 10000) {
            fprintf(stderr, "floor: the mirror was not replaced after the manifest\n");
            return 1;
        }
        struct timespec nap = {0, 100000}; /* 0.1 ms */
        nanosleep(&nap, NULL);
    }
    const double end = now_ms();
    /* To the end mark, to the run's first move, to the manifest's save. */
    printf("%.1f %.1f %.1f\n", end - start, started - start, manifest_at - start);
    close(start_fd);
    close(end_fd);
    XCloseDisplay(display);
    return 0;
}

/* ------------------------------------------------------------------ idle */

/* utime + stime of the whole process, in clock ticks; -1 once it is gone. */
static long long cpu_ticks(pid_t pid) {
    char path[64], text[4096];
    snprintf(path, sizeof path, "/proc/%d/stat", (int)pid);
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    const ssize_t n = read(fd, text, sizeof text - 1);
    close(fd);
    if (n <= 0) {
        return -1;
    }
    text[n] = '\0';
    /* The command name may hold spaces: count fields after its ')'. */
    const char *at = strrchr(text, ')');
    if (!at) {
        return -1;
    }
    unsigned long long utime = 0, stime = 0;
    if (sscanf(at + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &utime, &stime) !=
        2) {
        return -1;
    }
    return (long long)(utime + stime);
}

static long peak_rss_kb(pid_t pid) {
    char path[64], line[256];
    snprintf(path, sizeof path, "/proc/%d/status", (int)pid);
    FILE *in = fopen(path, "r");
    long kb = -1;
    if (!in) {
        return -1;
    }
    while (fgets(line, sizeof line, in)) {
        if (strncmp(line, "VmHWM:", 6) == 0) {
            kb = strtol(line + 6, NULL, 10);
        }
    }
    fclose(in);
    return kb;
}

static int floor_idle(pid_t pid, int quiet_ms) {
    const long hz = sysconf(_SC_CLK_TCK);
    long long last = cpu_ticks(pid);
    double since = now_ms();
    const double give_up = since + 120000;
    for (;;) {
        struct timespec nap = {0, 10 * 1000000}; /* 10 ms */
        nanosleep(&nap, NULL);
        const long long ticks = cpu_ticks(pid);
        if (ticks < 0) {
            fprintf(stderr, "floor: process %d ended before it went idle\n", (int)pid);
            return 1;
        }
        if (ticks != last) {
            last = ticks;
            since = now_ms();
        } else if (now_ms() - since >= quiet_ms) {
            break;
        }
        if (now_ms() > give_up) {
            fprintf(stderr, "floor: process %d never went idle\n", (int)pid);
            return 1;
        }
    }
    printf("%.0f %ld\n", (double)last * 1000.0 / (double)hz, peak_rss_kb(pid));
    return 0;
}

int main(int argc, char **argv) {
    if (argc == 4 && strcmp(argv[1], "tree") == 0) {
        return floor_tree(argv[2], atoi(argv[3]));
    }
    if (argc == 6 && strcmp(argv[1], "manifest") == 0) {
        return floor_manifest(argv[2], atoi(argv[3]), argv[4], argv[5]);
    }
    if (argc == 5 && strcmp(argv[1], "move") == 0) {
        return floor_move(argv[2], argv[3], argv[4]);
    }
    if (argc == 6 && strcmp(argv[1], "click") == 0) {
        return floor_click(argv[2], argv[3], argv[4], argv[5]);
    }
    if (argc == 4 && strcmp(argv[1], "idle") == 0) {
        return floor_idle((pid_t)atoi(argv[2]), atoi(argv[3]));
    }
    fprintf(stderr, "usage: floor tree DIR N\n"
                    "       floor manifest FILE N FROM TO\n"
                    "       floor move FROM TO LIST\n"
                    "       floor click STARTDIR ENDDIR MANIFEST MIRROR\n"
                    "       floor idle PID QUIET_MS\n");
    return 2;
}
