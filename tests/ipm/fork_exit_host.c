/* A careless host, built against the shared library as a real one is, that forks or leaves by
 * exit() while reporting. It is its own monitor: a thread accepts the library's connection on
 * loopback and reads every report, so that it can tell what reached the wire and when.
 *
 *   fork_exit_host MODE DIR
 *     fork-exit        a forked child reports, then leaves by exit()
 *     fork-stop-exit   a forked child reports, stops reporting, then leaves by exit()
 *     fork-_exit       a forked child reports, then leaves by _exit()
 *     exit-reporting   exit() from main while eight threads go on reporting
 *
 * Prints one line per finding that is wrong and answers 1; 0 when all is well. The script that
 * runs it bounds the whole run, so a hang shows as a time-out. */
#include "ipm/ipm_sendMessage.h"
#include "ipm/ipm_startReporting.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#define CHILD_REPORTS 30
#define PARENT_REPORTS_BEFORE 3
#define PARENT_REPORTS_AFTER 3
#define CHILD_SECONDS 10

static int failures;

/* The parent's reporting threads do not exist in a forked child, but what only their stacks
 * pointed to is still in its heap: a leak check there reports the parent's strings in flight.
 * The child runs the reporting code the parent runs, and the parent's exit is checked. */
#if defined(__SANITIZE_ADDRESS__)
static volatile int in_forked_child;
int __lsan_is_turned_off(void);
int __lsan_is_turned_off(void) {
    return in_forked_child;
}
#define MARK_FORKED_CHILD() (in_forked_child = 1)
#else
#define MARK_FORKED_CHILD() ((void)0)
#endif

static void fail(const char* what) {
    printf("FAIL: %s\n", what);
    fflush(stdout);
    ++failures;
}

static double now(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

static void pause_ms(int milliseconds) {
    struct timespec t = {milliseconds / 1000, (long)(milliseconds % 1000) * 1000000L};
    while (nanosleep(&t, &t) != 0 && errno == EINTR) {
    }
}

/* ---- the monitor: one thread, reading every connection it accepts, one after another ---- */

static struct {
    pthread_mutex_t lock;
    int listener;
    int connections;
    int parent_reports;
    int child_reports;
    int ended; /* the last connection reached its end */
    char line[8192];
    size_t line_length;
} monitor = {PTHREAD_MUTEX_INITIALIZER, -1, 0, 0, 0, 0, {0}, 0};

/* The first line also holds the job name, which comes first on the wire. */
static void count_line(const char* line) {
    if (strstr(line, "<Info>") != NULL && strstr(line, "from the parent") != NULL)
        ++monitor.parent_reports;
    if (strstr(line, "from the child") != NULL)
        ++monitor.child_reports;
}

static void take_bytes(const char* bytes, size_t count) {
    size_t i;
    pthread_mutex_lock(&monitor.lock);
    for (i = 0; i < count; ++i) {
        if (bytes[i] == '\n') {
            monitor.line[monitor.line_length] = '\0';
            count_line(monitor.line);
            monitor.line_length = 0;
        } else if (monitor.line_length + 1 < sizeof monitor.line) {
            monitor.line[monitor.line_length++] = bytes[i];
        }
    }
    pthread_mutex_unlock(&monitor.lock);
}

static void* run_monitor(void* unused) {
    (void)unused;
    for (;;) {
        char buffer[4096];
        ssize_t count;
        const int connection = accept(monitor.listener, NULL, NULL);
        if (connection < 0)
            return NULL;
        pthread_mutex_lock(&monitor.lock);
        ++monitor.connections;
        monitor.ended = 0;
        monitor.line_length = 0;
        pthread_mutex_unlock(&monitor.lock);
        while ((count = recv(connection, buffer, sizeof buffer, 0)) > 0)
            take_bytes(buffer, (size_t)count);
        pthread_mutex_lock(&monitor.lock);
        monitor.ended = 1;
        pthread_mutex_unlock(&monitor.lock);
        close(connection);
    }
}

static int start_monitor(void) {
    struct sockaddr_in address;
    socklen_t length = sizeof address;
    pthread_t thread;
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    monitor.listener = socket(AF_INET, SOCK_STREAM, 0);
    if (monitor.listener < 0 || bind(monitor.listener, (struct sockaddr*)&address, length) != 0 ||
        listen(monitor.listener, 4) != 0 ||
        getsockname(monitor.listener, (struct sockaddr*)&address, &length) != 0 ||
        pthread_create(&thread, NULL, run_monitor, NULL) != 0) {
        perror("monitor");
        exit(2);
    }
    pthread_detach(thread);
    return ntohs(address.sin_port);
}

static int parent_reports_seen(void) {
    int seen;
    pthread_mutex_lock(&monitor.lock);
    seen = monitor.parent_reports;
    pthread_mutex_unlock(&monitor.lock);
    return seen;
}

/* ---- reporting ---- */

static void report(const char* type, const char* origin, int n) {
    char text[64];
    const char* texts[] = {text};
    snprintf(text, sizeof text, "report %d from the %s", n, origin);
    ipm_sendMessage(type, "step=%i message=%s", &n, NULL, texts);
}

/* As main's argv would hold them. */
static void start(char* dir, int port) {
    char portText[16];
    char* argv[] = {"fork_exit_host", "-job",      "hostile",      "-message", "on", "-indir", dir,
                    "-listener_name", "127.0.0.1", "-direct_port", portText};
    snprintf(portText, sizeof portText, "%d", port);
    if (ipm_startReporting((int)(sizeof argv / sizeof argv[0]), argv) != IPM_REPORTING_ON) {
        fail("reporting did not start");
        exit(1);
    }
}

static int reports_in_file(const char* dir, const char* origin) {
    char path[4096];
    char line[8192];
    int found = 0;
    FILE* file;
    snprintf(path, sizeof path, "%s/hostile.ipm", dir);
    file = fopen(path, "r");
    if (file == NULL)
        return -1;
    while (fgets(line, sizeof line, file) != NULL)
        if (strstr(line, origin) != NULL)
            ++found;
    fclose(file);
    return found;
}

/* Threads that hold the library's locks at any moment, the fork's included: errors past their
 * cap take the buffer lock and the message file but add nothing to deliver. */
static volatile int reporters_stop;

static void* report_errors(void* unused) {
    int n = 0;
    (void)unused;
    while (!reporters_stop) {
        report("Error", "parent", ++n);
        pause_ms(1);
    }
    return NULL;
}

/* ---- fork ---- */

static void child(const char* mode) {
    int n;
    MARK_FORKED_CHILD();
    for (n = 1; n <= CHILD_REPORTS; ++n)
        report("Info", "child", n);
    if (strcmp(mode, "fork-_exit") == 0)
        _exit(0);
    if (strcmp(mode, "fork-stop-exit") == 0)
        ipm_stopReporting();
    exit(0);
}

/* The child's status, or -1 when it had not ended within the time (it is then killed). */
static int wait_for_child(pid_t pid) {
    const double deadline = now() + CHILD_SECONDS;
    int status = 0;
    while (now() < deadline) {
        const pid_t ended = waitpid(pid, &status, WNOHANG);
        if (ended == pid)
            return status;
        pause_ms(10);
    }
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return -1;
}

static int run_fork(const char* mode, char* dir) {
    pthread_t reporters[2];
    int n;
    int status;
    pid_t pid;
    start(dir, start_monitor());
    for (n = 1; n <= PARENT_REPORTS_BEFORE; ++n)
        report("Info", "parent", n);
    /* Connected and delivering: the delivery thread holds the transport now and then. */
    while (parent_reports_seen() < 1)
        pause_ms(5);
    for (n = 0; n < 2; ++n)
        pthread_create(&reporters[n], NULL, report_errors, NULL);
    pause_ms(20);
    pid = fork();
    if (pid < 0) {
        perror("fork");
        return 2;
    }
    if (pid == 0)
        child(mode);
    status = wait_for_child(pid);
    reporters_stop = 1;
    for (n = 0; n < 2; ++n)
        pthread_join(reporters[n], NULL);
    if (status == -1)
        fail("the child did not leave within 10 s");
    else if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        fail("the child did not leave with status 0");
    /* The parent goes on with the same connection. */
    for (n = PARENT_REPORTS_BEFORE + 1; n <= PARENT_REPORTS_BEFORE + PARENT_REPORTS_AFTER; ++n)
        report("Info", "parent", n);
    pause_ms(50);
    pthread_mutex_lock(&monitor.lock);
    if (monitor.ended)
        fail("the parent's connection ended before the parent stopped");
    pthread_mutex_unlock(&monitor.lock);
    ipm_stopReporting();
    pthread_mutex_lock(&monitor.lock);
    if (monitor.connections != 1)
        fail("the parent connected more than once (its connection was cut)");
    if (monitor.child_reports != 0)
        fail("the child's reports reached the parent's connection");
    if (monitor.parent_reports != PARENT_REPORTS_BEFORE + PARENT_REPORTS_AFTER) {
        printf("the monitor got %d of the parent's %d Info reports\n", monitor.parent_reports,
               PARENT_REPORTS_BEFORE + PARENT_REPORTS_AFTER);
        fail("the monitor did not get every Info report of the parent");
    }
    pthread_mutex_unlock(&monitor.lock);
    if (reports_in_file(dir, "from the child") != CHILD_REPORTS)
        fail("the message file does not hold every report of the child");
    return failures == 0 ? 0 : 1;
}

/* ---- exit while threads report ---- */

static void* report_forever(void* unused) {
    int n = 0;
    (void)unused;
    for (;;)
        report("Info", "parent", ++n);
    return NULL;
}

static int run_exit(char* dir) {
    pthread_t reporters[8];
    int n;
    start(dir, start_monitor());
    report("Info", "parent", 0);
    while (parent_reports_seen() < 1)
        pause_ms(5);
    for (n = 0; n < 8; ++n)
        pthread_create(&reporters[n], NULL, report_forever, NULL);
    pause_ms(50);
    /* The script measures how long this takes and that it ends with status 0. */
    exit(0);
}

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: fork_exit_host fork-exit|fork-stop-exit|fork-_exit|"
                        "exit-reporting DIR\n");
        return 2;
    }
    if (strcmp(argv[1], "exit-reporting") == 0)
        return run_exit(argv[2]);
    if (strncmp(argv[1], "fork-", 5) == 0)
        return run_fork(argv[1], argv[2]);
    fprintf(stderr, "unknown mode %s\n", argv[1]);
    return 2;
}
