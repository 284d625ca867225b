#include "layer_query.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <strings.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char **environ;

constexpr int answer_wait_ms = 2000;

static long ms_since(const struct timespec &start)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
}

// Starts argv[0] from PATH with no input, its errors discarded and its
// output into a pipe, whose reading end goes to *from. Returns its pid, or
// -1 where it could not start.
static pid_t start(const char *const argv[], int *from)
{
    int pipe_fds[2];
    if (pipe(pipe_fds) != 0)
        return -1;
    fcntl(pipe_fds[0], F_SETFD, FD_CLOEXEC);
    fcntl(pipe_fds[1], F_SETFD, FD_CLOEXEC);
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
    pid_t pid;
    int err = posix_spawnp(&pid, argv[0], &actions, &attributes, const_cast<char *const *>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    close(pipe_fds[1]);
    if (err != 0) {
        close(pipe_fds[0]);
        return -1;
    }
    *from = pipe_fds[0];
    return pid;
}

// Keeps the start of what comes from `from` until it ends or the wait is
// over, NUL-terminated, in `answer`. Returns whether it ended.
static bool read_answer(int from, const struct timespec &since, char *answer, size_t size)
{
    size_t got = 0;
    bool ended = false;
    for (long left; !ended && (left = answer_wait_ms - ms_since(since)) > 0;) {
        struct pollfd p = {from, POLLIN, 0};
        int ready = poll(&p, 1, static_cast<int>(left));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            break;
        char buf[256];
        ssize_t n = read(from, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        ended = n <= 0;
        size_t keep = n > 0 && got + 1 < size ? static_cast<size_t>(n) : 0;
        if (keep > size - 1 - got)
            keep = size - 1 - got;
        memcpy(answer + got, buf, keep);
        got += keep;
    }
    answer[got] = '\0';
    return ended;
}

// Runs argv[0] from PATH with no input and its errors discarded, and keeps
// the start of what it writes, NUL-terminated, in `answer`. Returns true
// when it exits 0 within the wait; one that does not is killed.
static bool ask(const char *const argv[], char *answer, size_t size)
{
    answer[0] = '\0';
    int from;
    pid_t pid = start(argv, &from);
    if (pid < 0)
        return false;
    struct timespec since;
    clock_gettime(CLOCK_MONOTONIC, &since);
    bool ended = read_answer(from, since, answer, size);
    close(from);
    int status = 0;
    pid_t done;
    // Its output ended: it has a little of the wait left to exit in.
    while (((done = waitpid(pid, &status, WNOHANG)) == 0 || (done < 0 && errno == EINTR)) && ended &&
           ms_since(since) < answer_wait_ms) {
        struct timespec pause = {0, 5 * 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
    if (done <= 0) {
        kill(pid, SIGKILL);
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        return false;
    }
    return done == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// The locale's character set as the C library would choose it, from the
// environment alone.
static bool locale_is_utf8()
{
    const char *names[] = {"LC_ALL", "LC_CTYPE", "LANG"};
    for (const char *name : names) {
        const char *value = getenv(name);
        if (value == nullptr || *value == '\0')
            continue;
        const char *dot = strchr(value, '.');
        return dot != nullptr && (strncasecmp(dot + 1, "UTF-8", 5) == 0 || strncasecmp(dot + 1, "utf8", 4) == 0);
    }
    return false;
}

bool screen_window_utf8()
{
    // screen answers for the window WINDOW names, in a line such as
    // "(1,1)/(80,24)+1024 +(+)flow UTF-8 0(sh)": its encoding comes
    // before the window's number and title.
    char answer[512];
    const char *window = getenv("WINDOW");
    const char *with_window[] = {"screen", "-p", window, "-Q", "info", nullptr};
    const char *without[] = {"screen", "-Q", "info", nullptr};
    if (getenv("STY") != nullptr && ask(window != nullptr ? with_window : without, answer, sizeof answer) &&
        answer[0] == '(') {
        for (char *p = answer; (p = strchr(p + 1, ' ')) != nullptr;) {
            size_t digits = strspn(p + 1, "0123456789");
            if (digits > 0 && p[1 + digits] == '(') {
                p[1] = '\0'; // the number and title
                break;
            }
        }
        return strstr(answer, " UTF-8 ") != nullptr;
    }
    return locale_is_utf8();
}

int tmux_passes_through()
{
    if (getenv("TMUX") == nullptr)
        return -1;
    char answer[64];
    const char *argv[] = {"tmux", "show-options", "-Apv", "allow-passthrough", nullptr};
    if (!ask(argv, answer, sizeof answer) || answer[0] == '\0')
        return -1;
    return strncmp(answer, "off", 3) == 0 && (answer[3] == '\n' || answer[3] == '\0') ? 0 : 1;
}
