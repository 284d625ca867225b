// Signals mid-job: the terminal must never be left in printer mode.
#include "harness.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#if defined(__FreeBSD__)
#include <libutil.h>
#else
#include <pty.h>
#endif
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace {

// A running job fed through a pipe, its output read through another.
struct Job {
    pid_t pid;
    int in, out;
    std::string got;

    explicit Job(const std::vector<std::string> &args = {}, int err = -1, bool ignore_sigint = false)
    {
        int i[2], o[2];
        if (pipe(i) != 0 || pipe(o) != 0)
            abort();
        // An ignored signal stays ignored across fork and exec.
        if (ignore_sigint)
            signal(SIGINT, SIG_IGN);
        pid = spawn_quillpass(args, i[0], o[1], err);
        signal(SIGINT, SIG_DFL);
        close(i[0]);
        close(o[1]);
        in = i[1];
        out = o[0];
    }
    ~Job() { close(out); }

    void send(const std::string &s) { ASSERT_EQ(write(in, s.data(), s.size()), static_cast<ssize_t>(s.size())); }
    // Writes input until both pipes are full and the job is stuck writing;
    // returns what was written.
    std::string fill()
    {
        fcntl(in, F_SETFL, O_NONBLOCK);
        std::string sent, block(4096, 'x');
        for (int i = 0; i < 1000; i++, usleep(1000)) {
            block[0] = static_cast<char>('a' + i % 26);
            ssize_t n = write(in, block.data(), block.size());
            if (n <= 0)
                break;
            sent.append(block, 0, static_cast<size_t>(n));
        }
        fcntl(in, F_SETFL, 0);
        return sent;
    }
    // Reads output until it has `total` bytes in all, or none comes for
    // `ms` milliseconds.
    const std::string &await(size_t total, int ms = 5000)
    {
        char buf[4096];
        struct pollfd p = {out, POLLIN, 0};
        while (got.size() < total && poll(&p, 1, ms) > 0) {
            ssize_t n = read(out, buf, sizeof buf);
            if (n <= 0)
                break;
            got.append(buf, static_cast<size_t>(n));
        }
        return got;
    }
    int finish()
    {
        close(in);
        await(SIZE_MAX);
        return wait_for(pid);
    }
};

// Every signal whose default action ends the process, faults included.
const int deaths[] = {
    SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGALRM, SIGUSR1, SIGUSR2, SIGVTALRM, SIGPROF, SIGSYS, SIGTRAP, SIGXCPU,
#if defined(__linux__)
    SIGIO,
#endif
#ifdef SIGPWR
    SIGPWR,
#endif
#ifdef SIGSTKFLT
    SIGSTKFLT,
#endif
#ifdef SIGEMT
    SIGEMT,
#endif
#ifdef SIGTHR
    SIGTHR, SIGLIBRT,
#endif
    SIGRTMIN, SIGRTMIN + 1, SIGRTMAX,
    SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT,
};

TEST(Signals, DeathClosesTheFrameAndKeepsItsCause)
{
    for (int sig : deaths) {
        SCOPED_TRACE(strsignal(sig));
        Job job;
        job.send("first\n");
        job.await(10);
        kill(job.pid, sig);
        int status = job.finish();
        EXPECT_EQ(job.got, START "first\n" STOP);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << status;
    }
}

TEST(Signals, InheritedIgnoredSigintStaysIgnored)
{
    Job job({}, -1, true);
    job.send("first\n");
    job.await(10);
    kill(job.pid, SIGINT);
    job.send("second\n");
    int status = job.finish();
    EXPECT_EQ(job.got, START "first\nsecond\n" STOP);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST(Signals, StopLeavesPrinterModeAndResumeReentersIt)
{
    for (int sig : {SIGTSTP, SIGTTIN, SIGTTOU}) {
        SCOPED_TRACE(strsignal(sig));
        Job job;
        job.send("first\n");
        job.await(10);
        kill(job.pid, sig);
        int status = wait_for(job.pid, WUNTRACED);
        ASSERT_TRUE(status != -1 && WIFSTOPPED(status) && WSTOPSIG(status) == sig) << status;
        EXPECT_EQ(job.await(14), START "first\n" STOP);
        kill(job.pid, SIGCONT);
        job.send("second\n");
        status = job.finish();
        EXPECT_EQ(job.got, START "first\n" STOP START "second\n" STOP);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
}

// With nobody reading, the stop sequence cannot be written; a second signal
// must still end the job rather than leave it hanging in the handler.
TEST(Signals, SecondSignalEndsAJobStuckWritingTheStopSequence)
{
    Job job;
    job.await(4);
    job.fill();
    kill(job.pid, SIGTERM);
    usleep(200 * 1000);
    kill(job.pid, SIGTERM);
    int status = wait_for(job.pid);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
}

// SIGTSTP while the output is blocked, then SIGCONT before the stop
// sequence could go out: the stop is cancelled and the job finishes.
TEST(Signals, ContinueBeforeTheStopTookEffectCancelsIt)
{
    Job job;
    job.await(4);
    std::string sent = job.fill();
    kill(job.pid, SIGTSTP);
    usleep(200 * 1000);
    kill(job.pid, SIGCONT);
    usleep(100 * 1000);
    int status = job.finish();
    EXPECT_EQ(exit_code(status), 0) << "stopped for good: " << WIFSTOPPED(status);
    EXPECT_EQ(job.got.substr(job.got.size() - 4), STOP);
    std::string body = job.got;
    for (const char *seq : {START, STOP})
        for (size_t at; (at = body.find(seq)) != std::string::npos;)
            body.erase(at, 4);
    EXPECT_TRUE(body == sent) << body.size() << " bytes of " << sent.size();
}

size_t count(const std::string &s, const std::string &what)
{
    size_t n = 0;
    for (size_t at = 0; (at = s.find(what, at)) != std::string::npos; at += what.size())
        n++;
    return n;
}

// With -p, a job that must stop or die while the output is blocked first
// finishes the passthrough string it is in: tmux never sees half of one.
TEST(Signals, PassthroughStringsAreNeverCutShort)
{
    const std::string string_close = "\033\033[4i\033\\";
    for (int sig : {SIGTSTP, SIGTERM}) {
        SCOPED_TRACE(strsignal(sig));
        // Every string is larger than the pipe: the job blocks inside one.
        std::string path = make_temp_dir() + "/in";
        write_file(path, std::string(1 << 20, '\033'));
        Job job({"-p", "-b", "65536", "-f", path});
        job.await(1); // running, its handlers in place
        usleep(100 * 1000);
        kill(job.pid, sig);
        usleep(100 * 1000);
        job.await(SIZE_MAX, 1000); // drains until the job stops or dies
        int status = wait_for(job.pid, WUNTRACED);
        if (sig == SIGTSTP)
            EXPECT_TRUE(WIFSTOPPED(status)) << status;
        else
            EXPECT_EQ(exit_code(status), 128 + SIGTERM);
        ASSERT_GT(job.got.size(), 65536u);
        EXPECT_EQ(job.got.substr(job.got.size() - string_close.size()), string_close);
        EXPECT_EQ(count(job.got, "\033Ptmux;"), count(job.got, string_close));
        if (sig == SIGTSTP) {
            kill(job.pid, SIGKILL);
            wait_for(job.pid);
        }
    }
}

std::string collect(int fd)
{
    std::string got = drain(fd);
    close(fd);
    return got;
}

// A death while the held reports are being written to a slow stderr goes
// on where the flush stopped: each report is written once.
TEST(Signals, DeathDuringTheFlushWritesEachReportOnce)
{
    std::vector<std::string> args{"-f"};
    for (int i = 0; i < 300; i++)
        args.push_back(fixture_dir() + "/missing-" + std::string(120, 'm') + "-" + std::to_string(i));
    int e[2];
    ASSERT_EQ(pipe(e), 0);
    // Most of the pipe, however large it is, so that the flush blocks.
    fcntl(e[1], F_SETFL, O_NONBLOCK);
    std::string junk;
    for (std::string block(1024, 'j'); write(e[1], block.data(), block.size()) == 1024;)
        junk += block;
    char room[8 * 1024];
    ASSERT_EQ(read(e[0], room, sizeof room), static_cast<ssize_t>(sizeof room));
    junk.erase(0, sizeof room);
    fcntl(e[1], F_SETFL, 0);
    Job job(args, e[1]);
    close(e[1]);
    close(job.in);
    job.await(4 + 299 + 4);
    usleep(200 * 1000);
    kill(job.pid, SIGTERM);
    std::string err = collect(e[0]);
    EXPECT_EQ(exit_code(wait_for(job.pid)), 128 + SIGTERM);
    EXPECT_EQ(err.substr(0, junk.size()), junk);
    EXPECT_EQ(count(err, "quillpass: "), 300u);
    for (int i : {0, 150, 299})
        EXPECT_EQ(count(err, "-" + std::to_string(i) + ": " + text_of(ENOENT)), 1u) << i;
}

// When the output's reader goes away, or the file grows past its limit,
// the job dies of that signal, as filters do, but writes what it held.
TEST(Signals, BrokenPipeAndFileLimitStillWriteTheHeldReports)
{
    std::string dir = make_temp_dir();
    write_file(dir + "/big", std::string(1 << 20, 'b'));
    std::string err_path = dir + "/err";
    int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    Job job({"-f", dir + "/missing", dir + "/big"}, err);
    close(err);
    close(job.in);
    job.await(1);
    close(job.out);
    job.out = open("/dev/null", O_RDONLY);
    EXPECT_EQ(exit_code(wait_for(job.pid)), 128 + SIGPIPE);
    EXPECT_EQ(read_file(err_path), "quillpass: " + dir + "/missing: " + text_of(ENOENT) + "\n");

    Io io;
    io.cwd = fixture_dir();
    io.input = std::string(1000, 'i');
    io.max_file_size = 100;
    Result r = run_quillpass({"-f", "nope", "/dev/stdin"}, io);
    EXPECT_EQ(r.exit_code(), 128 + SIGXFSZ);
    // At most 100 bytes: a write that crosses the limit is cut short on
    // Linux, refused whole on FreeBSD.
    std::string allowed = START "\f" + io.input.substr(0, 95);
    EXPECT_TRUE(r.out.size() >= 5 && allowed.compare(0, r.out.size(), r.out) == 0) << shown(r.out);
    EXPECT_EQ(r.err, "quillpass: nope: " + text_of(ENOENT) + "\n");
}

// A program on a real pseudo-terminal whose line discipline passes LF as
// it is and does not echo control characters; the test reads its screen.
struct Terminal {
    pid_t pid;
    int master;
    std::string got;

    // Runs argv, or the program itself when argv is empty or starts with
    // "quillpass", in cwd.
    Terminal(const std::vector<std::string> &argv, const std::string &cwd)
    {
        pid = forkpty(&master, nullptr, nullptr, nullptr);
        if (pid != 0)
            return;
        bool ours = argv.empty() || argv[0] == "quillpass";
        struct termios t;
        tcgetattr(0, &t);
        t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
        t.c_lflag &= ~static_cast<tcflag_t>(ECHOCTL);
        if (!ours)
            t.c_lflag |= NOFLSH; // an interrupt must not discard what the test has yet to read; the job sees to its own
        tcsetattr(0, TCSANOW, &t);
        if (chdir(cwd.c_str()) != 0)
            _exit(126);
        setenv("QP", QUILLPASS_BIN, 1);
        setenv("PS1", "$ ", 1);
        setenv("TERM", "dumb", 1);
        if (ours)
            exec_quillpass(argv.empty() ? argv : std::vector<std::string>(argv.begin() + 1, argv.end()));
        exec_command(argv);
    }
    ~Terminal()
    {
        kill(pid, SIGKILL);
        close(master);
        waitpid(pid, nullptr, 0);
    }

    void type(const std::string &keys) { ASSERT_EQ(write(master, keys.data(), keys.size()), static_cast<ssize_t>(keys.size())); }
    // Reads the screen until one of `texts` shows after offset `from`, for
    // at most `ms` milliseconds; true when one showed.
    bool await_any(const std::vector<std::string> &texts, size_t from = 0, int ms = 5000)
    {
        auto shows = [&] {
            for (const std::string &text : texts)
                if (got.find(text, from) != std::string::npos)
                    return true;
            return false;
        };
        char buf[4096];
        struct pollfd p = {master, POLLIN, 0};
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (!shows() && std::chrono::steady_clock::now() < end) {
            if (poll(&p, 1, 20) <= 0)
                continue;
            ssize_t n = read(master, buf, sizeof buf);
            if (n <= 0)
                break;
            got.append(buf, static_cast<size_t>(n));
        }
        return shows();
    }
    bool await(const std::string &text, size_t from = 0, int ms = 5000) { return await_any({text}, from, ms); }
    // A shell's report of a stopped job: FreeBSD's sh says "Suspended".
    bool await_stopped(size_t from, int ms = 5000) { return await_any({"Stopped", "Suspended"}, from, ms); }
    // Types a command and waits for what it prints: shell output is told
    // from the echo of the command line by an expansion, $((1+1)).
    bool run(const std::string &command, const std::string &mark)
    {
        size_t from = got.size();
        type(command + "; echo " + mark + "-$((1+1))\n");
        return await(mark + "-2", from);
    }
};

// What went to paper: everything between start and stop sequences. Sets
// *left to whether the stream ends out of printer mode.
std::string paper(const std::string &s, bool *left)
{
    std::string printed;
    size_t at = 0;
    *left = true;
    for (size_t start; (start = s.find(START, at)) != std::string::npos;) {
        size_t stop = s.find(STOP, start + 4);
        if (stop == std::string::npos) {
            *left = false;
            return printed + s.substr(start + 4);
        }
        printed += s.substr(start + 4, stop - start - 4);
        at = stop + 4;
    }
    return printed;
}

// The pseudo-terminal's settings, read through its master.
bool echoes(int master)
{
    struct termios t;
    tcgetattr(master, &t);
    return (t.c_lflag & ECHO) != 0;
}

bool have_bash()
{
    if (access("/bin/bash", X_OK) == 0 || access("/usr/local/bin/bash", X_OK) == 0)
        return true;
    if (getenv("QUILLPASS_REQUIRE_TOOLS") != nullptr)
        ADD_FAILURE() << "bash is needed here";
    return false;
}

std::string make_fifo(const std::string &dir)
{
    std::string path = dir + "/fifo";
    mkfifo(path.c_str(), 0600);
    return path;
}

// Opens a FIFO for writing once its reader is there, within five seconds.
int open_writer(const std::string &path)
{
    for (int i = 0; i < 250; i++, usleep(20 * 1000)) {
        int fd = open(path.c_str(), O_WRONLY | O_NONBLOCK);
        if (fd >= 0) {
            fcntl(fd, F_SETFL, 0);
            return fd;
        }
    }
    return -1;
}

// The faults a user meets in an interactive shell with job control. In
// each, nothing the shell prints may land on paper, and the terminal ends
// out of printer mode.
TEST(Signals, InteractiveShellNeverPrintsItsOwnOutput)
{
    if (!have_bash())
        GTEST_SKIP() << "bash is not installed";
    const std::vector<std::string> bash{"bash", "--norc", "--noprofile", "--noediting", "-i"};
    struct Scene {
        const char *name;
        void (*play)(Terminal &, const std::string &dir);
        const char *printed;
    };
    const Scene scenes[] = {
        // Ctrl-Z, then bg: continued in the background, the job waits,
        // stopped, for fg, and then finishes its body.
        {"stop, bg, fg",
         [](Terminal &t, const std::string &dir) {
             std::string fifo = make_fifo(dir);
             t.type("\"$QP\" < fifo\n");
             int w = open_writer(fifo);
             ASSERT_GE(w, 0);
             ASSERT_EQ(write(w, "part1\n", 6), 6);
             ASSERT_TRUE(t.await(START "part1\n"));
             t.type("\x1a");
             ASSERT_TRUE(t.await_stopped(0));
             size_t from = t.got.size();
             t.type("bg\n");
             t.await_stopped(from, 1000); // it stops again, waiting for the foreground
             ASSERT_TRUE(t.run("jobs", "BG"));
             t.type("fg\n");
             ASSERT_EQ(write(w, "part2\n", 6), 6);
             close(w);
             ASSERT_TRUE(t.await("part2\n" STOP));
         },
         "part1\npart2\n"}, // no echo of Ctrl-Z while printing
        // Another job of the session writes while the job prints: tostop
        // stops it, and once in the foreground it writes on the screen.
        {"another job writes mid-job",
         [](Terminal &t, const std::string &dir) {
             std::string fifo = make_fifo(dir), other = dir + "/other";
             mkfifo(other.c_str(), 0600);
             t.type("cat other &\n\"$QP\" < fifo\n");
             int w = open_writer(fifo), o = open_writer(other);
             ASSERT_TRUE(w >= 0 && o >= 0 && write(w, "part1\n", 6) == 6);
             ASSERT_TRUE(t.await(START "part1\n"));
             ASSERT_TRUE(write(o, "INTRUDER\n", 9) == 9 && close(o) == 0);
             usleep(300 * 1000);
             ASSERT_TRUE(write(w, "part2\n", 6) == 6 && close(w) == 0);
             ASSERT_TRUE(t.await("part2\n" STOP));
             t.type("fg\n");
             ASSERT_TRUE(t.await("INTRUDER", t.got.find("part2\n" STOP)));
         },
         "part1\npart2\n"},
        // Started in the background, reading the terminal: it waits,
        // stopped, for the foreground before printer mode goes on.
        {"background job reading the terminal",
         [](Terminal &t, const std::string &) {
             t.type("\"$QP\" &\n");
             ASSERT_TRUE(t.run("sleep 0.2; jobs", "BG"));
             ASSERT_NE(t.got.find("Stopped"), std::string::npos) << shown(t.got);
             size_t from = t.got.size();
             t.type("fg\n");
             ASSERT_TRUE(t.await(START, from));
             EXPECT_FALSE(echoes(t.master)) << "while printing";
             t.type("typed\n");
             ASSERT_TRUE(t.await(START "typed\n", from)); // the job's copy, and no echo
             t.type("\x04");
             ASSERT_TRUE(t.await(STOP, from));
             ASSERT_TRUE(t.run("true", "AFTER"));
             EXPECT_TRUE(echoes(t.master)) << "after the job";
         },
         "typed\n"},
        // An orphaned process group in the background can be neither
        // stopped nor let print behind the shell: it prints nothing.
        {"orphaned background job",
         [](Terminal &t, const std::string &) {
             t.type("( { printf 'first line\\n'; sleep 1; printf 'second line\\n'; } | \"$QP\" -n & )\n");
             ASSERT_TRUE(t.run("echo SHELL-SPEAKS-HERE", "SPOKE"));
             ASSERT_TRUE(t.await("quillpass: started in the background by a shell without job control; nothing printed"));
         },
         ""},
        // Ctrl-C, then Ctrl-Z while the dying job still writes its held
        // reports to a terminal that is not keeping up: no stop may
        // reopen the frame.
        {"interrupt, then stop during the clean-up",
         [](Terminal &t, const std::string &dir) {
             make_fifo(dir);
             t.type("\"$QP\" -f $(seq -f 'missing-%0150g' 600) fifo\n");
             ASSERT_TRUE(t.await(START + std::string(600, '\f')));
             t.type("\x03"); // dies: 64 KiB of reports for a pty that holds far less
             usleep(300 * 1000);
             t.type("\x1a");
             usleep(300 * 1000);
             t.await(text_of(ENOENT), 0, 500); // the terminal catches up
             t.type("fg\n");
         },
         "\f\f\f"},
    };
    for (const Scene &scene : scenes) {
        SCOPED_TRACE(scene.name);
        std::string dir = make_temp_dir();
        Terminal t(bash, dir);
        ASSERT_TRUE(t.run("true", "READY")) << shown(t.got);
        scene.play(t, dir);
        if (!t.run("true", "DONE")) {
            ADD_FAILURE() << "the shell did not answer: " << shown(t.got.substr(t.got.size() > 600 ? t.got.size() - 600 : 0));
            continue;
        }
        bool left;
        std::string printed = paper(t.got, &left);
        EXPECT_TRUE(left) << shown(t.got.substr(t.got.size() > 400 ? t.got.size() - 400 : 0));
        if (std::string(scene.printed) == "\f\f\f")
            EXPECT_TRUE(printed == std::string(600, '\f')) << shown(printed.substr(590), 2000);
        else
            EXPECT_EQ(printed, scene.printed) << shown(printed);
    }
}

// As the leader of its own session (ssh -t, xterm -e), nothing could ever
// continue the job once stopped, so Ctrl-Z leaves it printing, and the
// print job stays one frame.
TEST(Signals, SessionLeaderIgnoresCtrlZ)
{
    Terminal t({}, "/");
    ASSERT_TRUE(t.await(START)); // the terminal is set up
    t.type("first\n");
    ASSERT_TRUE(t.await(START "first\n")) << shown(t.got);
    t.type("\x1a");
    t.type("more\n");
    ASSERT_TRUE(t.await("more\n")) << shown(t.got);
    t.type("\x04");
    EXPECT_EQ(exit_code(wait_for(t.pid)), 0);
    t.await(STOP, t.got.size() - 4, 500);
    EXPECT_EQ(t.got, "quillpass: reading the keyboard; Ctrl-D ends the job, Ctrl-C cancels it\n" START "first\nmore\n" STOP) << shown(t.got);

    // With the output queue full, Ctrl-Z throws none of it away.
    std::string dir = make_temp_dir(), data;
    for (int i = 0; data.size() < 960000; i++)
        data += "line " + std::to_string(i) + "\n";
    write_file(dir + "/data", data);
    Terminal full({"quillpass", "-r", "-f", "data"}, dir);
    ASSERT_TRUE(full.await(START));
    usleep(500 * 1000); // the terminal falls behind
    full.type("\x1a");
    ASSERT_TRUE(full.await(STOP, 0, 10000));
    bool left;
    std::string printed = paper(full.got, &left);
    EXPECT_TRUE(printed == data) << printed.size() << " bytes of " << data.size();
    EXPECT_EQ(exit_code(wait_for(full.pid)), 0);
}

// The terminal as a job may change it: its settings, read through the
// master, and the permission bits of its slave.
struct Settings {
    struct termios t;
    mode_t mode;
};

Settings settings_of(int master)
{
    Settings s;
    struct stat st;
    tcgetattr(master, &s.t);
    s.mode = stat(ptsname(master), &st) == 0 ? st.st_mode & 07777 : 0;
    return s;
}

// How the terminal differs from `before`, in stty's words ("-echo tostop");
// "" where it does not.
std::string changes(const Settings &before, const Settings &now)
{
    const struct {
        const char *name;
        tcflag_t termios::*field;
        tcflag_t bit;
    } flags[] = {
        {"echo", &termios::c_lflag, ECHO}, {"tostop", &termios::c_lflag, TOSTOP}, {"noflsh", &termios::c_lflag, NOFLSH},
        {"ixon", &termios::c_iflag, IXON}, {"ixoff", &termios::c_iflag, IXOFF}, {"ixany", &termios::c_iflag, IXANY},
        {"imaxbel", &termios::c_iflag, IMAXBEL}, {"opost", &termios::c_oflag, OPOST},
#ifdef NOKERNINFO
        {"nokerninfo", &termios::c_lflag, NOKERNINFO},
#endif
    };
    std::string out;
    struct termios a = before.t, b = now.t;
    for (const auto &f : flags) {
        if (((a.*f.field ^ b.*f.field) & f.bit) != 0)
            out += std::string((b.*f.field & f.bit) != 0 ? " " : " -") + f.name;
        a.*f.field &= ~f.bit;
        b.*f.field &= ~f.bit;
    }
    if (a.c_cc[VDISCARD] != b.c_cc[VDISCARD])
        out += b.c_cc[VDISCARD] == _POSIX_VDISABLE ? " discard=undef" : " discard";
    a.c_cc[VDISCARD] = b.c_cc[VDISCARD];
    if (a.c_iflag != b.c_iflag || a.c_oflag != b.c_oflag || a.c_cflag != b.c_cflag || a.c_lflag != b.c_lflag ||
        memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) != 0 || cfgetospeed(&a) != cfgetospeed(&b))
        out += " and more";
    if (before.mode != now.mode) {
        char mode[16];
        snprintf(mode, sizeof mode, " mode=%o", static_cast<unsigned>(now.mode));
        out += mode;
    }
    return out.empty() ? out : out.substr(1);
}

// While printing, the job changes the settings with which the line
// discipline would drop output or add its own, and keeps other users'
// messages out; with -r output processing is off too, so LF reaches the
// terminal as LF. The user gets every setting back on every way out: the
// end, a stop (changed again after fg), a death, a real-time signal.
// sh rather than bash, which would put back its own settings when a job
// stops.
TEST(Signals, PrintingSettingsAreUndoneOnEveryWayOut)
{
    std::string dir = make_temp_dir();
    std::string fifo = make_fifo(dir);
    Terminal t({"sh", "-i"}, dir);
    ASSERT_TRUE(t.run("stty opost onlcr echo ixon ixoff ixany imaxbel -noflsh -tostop discard ^O; chmod 732 \"$(tty)\"", "READY"))
        << shown(t.got);
    const Settings user = settings_of(t.master);
    ASSERT_TRUE((user.t.c_oflag & OPOST) != 0 && user.mode == 0732) << changes({}, user);
    std::string printing = "-echo tostop noflsh -ixoff -ixany -imaxbel -opost";
#ifdef NOKERNINFO
    printing += " nokerninfo";
#endif
    printing += " discard=undef mode=600";

    for (const char *end : {"end of input", "stop, fg, SIGTERM", "real-time signal"}) {
        SCOPED_TRACE(end);
        size_t from = t.got.size();
        t.type("\"$QP\" -r < fifo\n");
        int w = open_writer(fifo);
        ASSERT_GE(w, 0);
        ASSERT_EQ(write(w, "a\nb\n", 4), 4);
        ASSERT_TRUE(t.await(START "a\nb\n", from)) << shown(t.got.substr(from));
        EXPECT_EQ(changes(user, settings_of(t.master)), printing);
        pid_t job = tcgetpgrp(t.master);
        if (std::string(end) == "end of input") {
            close(w);
        } else if (std::string(end) == "real-time signal") {
            kill(-job, SIGRTMIN);
            close(w);
        } else {
            kill(-job, SIGTSTP);
            ASSERT_TRUE(t.await_stopped(from)) << shown(t.got.substr(from));
            EXPECT_EQ(changes(user, settings_of(t.master)), "") << "while stopped";
            size_t stopped = t.got.size();
            t.type("fg\n");
            ASSERT_TRUE(t.await(START, stopped));
            EXPECT_EQ(changes(user, settings_of(t.master)), printing) << "after fg";
            ASSERT_EQ(write(w, "c\n", 2), 2);
            ASSERT_TRUE(t.await("c\n", stopped));
            kill(-job, SIGTERM);
            close(w);
        }
        ASSERT_TRUE(t.await(STOP, t.got.rfind(START)));
        ASSERT_TRUE(t.run("true", "DONE")) << shown(t.got.substr(from));
        EXPECT_EQ(changes(user, settings_of(t.master)), "") << "after the job: " << shown(t.got.substr(from));
        bool left;
        EXPECT_EQ(paper(t.got.substr(from), &left), std::string(end) == "stop, fg, SIGTERM" ? "a\nb\nc\n" : "a\nb\n");
        EXPECT_TRUE(left);
    }

    // Two interrupts 5 ms apart while nobody reads the terminal: the second
    // ends the job at once, and still the settings go back. Chunks of one
    // byte fill the terminal to the last byte, so the stop sequence blocks.
    size_t from = t.got.size();
    t.type("\"$QP\" -r -b 1 < fifo\n");
    int w = open_writer(fifo);
    ASSERT_GE(w, 0);
    ASSERT_EQ(write(w, "a\n", 2), 2);
    ASSERT_TRUE(t.await(START "a\n", from));
    pid_t job = tcgetpgrp(t.master);
    fcntl(w, F_SETFL, O_NONBLOCK);
    const std::string block(4096, 'x');
    for (int i = 0, idle = 0; i < 5000 && idle < 200; i++, usleep(1000))
        idle = write(w, block.data(), block.size()) > 0 ? 0 : idle + 1; // until the job is stuck writing
    kill(-job, SIGINT);
    usleep(5 * 1000);
    kill(-job, SIGINT);
    bool back = false;
    for (int i = 0; i < 250 && !(back = changes(user, settings_of(t.master)).empty()); i++)
        usleep(20 * 1000);
    EXPECT_TRUE(back) << "after two interrupts with the output stalled: " << changes(user, settings_of(t.master));
    close(w);
}

} // namespace
