#include "harness.h"

#include <csignal>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#if defined(__FreeBSD__)
#include <libutil.h>
#else
#include <pty.h>
#endif

// The program reads TMUX and STY, which are set where the tests may run
// (inside tmux or screen): it runs as if outside, unless a test sets them.
static const bool outside_multiplexers = [] {
    unsetenv("TMUX");
    unsetenv("STY");
    return true;
}();

int exit_code(int status)
{
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int spawn_quillpass(const std::vector<std::string> &args, int in, int out, int err)
{
    pid_t pid = fork();
    if (pid == 0) {
        // Its own process group, but in our session: a group whose members
        // all have their parents outside the session is orphaned, and the
        // kernel would discard its stops.
        setpgid(0, 0);
        dup2(in, 0);
        dup2(out, 1);
        if (err >= 0)
            dup2(err, 2);
        for (int fd = 3; fd < 256; fd++)
            close(fd); // a stray pipe end would hold off end of file
        exec_quillpass(args);
    }
    return pid;
}

int wait_for(int pid, int flags)
{
    int status;
    for (int i = 0; i < 500; i++) {
        if (waitpid(pid, &status, flags | WNOHANG) == pid)
            return status;
        usleep(10 * 1000);
    }
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return -1;
}

std::string drain(int fd)
{
    std::string got;
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0)
        got.append(buf, static_cast<size_t>(n));
    return got;
}

std::string shown(const std::string &s, size_t limit)
{
    std::string out;
    for (size_t i = 0; i < s.size() && i < limit; i++) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (c >= 0x20 && c < 0x7f && c != '\\') {
            out += static_cast<char>(c);
        } else {
            char esc[8];
            snprintf(esc, sizeof esc, "\\x%02x", c);
            out += esc;
        }
    }
    if (s.size() > limit)
        out += "... (" + std::to_string(s.size()) + " bytes)";
    return out;
}

std::string text_of(int err)
{
    return strerror(err);
}

bool directory_reads_fail()
{
    char c;
    int fd = open("/", O_RDONLY);
    bool fails = read(fd, &c, 1) < 0;
    close(fd);
    return fails;
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void write_file(const std::string &path, const std::string &data)
{
    std::ofstream(path, std::ios::binary) << data;
}

// Every temporary directory goes when the test program exits.
std::string make_temp_dir()
{
    static std::vector<std::string> &made = *new std::vector<std::string>;
    if (made.empty())
        std::atexit([] {
            for (const std::string &d : made)
                std::filesystem::remove_all(d);
        });
    char tmpl[] = "/tmp/quillpass-test-XXXXXX";
    made.push_back(mkdtemp(tmpl));
    return made.back();
}

const std::string &fixture_dir()
{
    static const std::string dir = [] {
        std::string d = make_temp_dir();
        const char *files[][2] = {{"a", "A\n"}, {"b", "B\n"}, {"c", "C\n"}, {"empty", ""}, {"-n", "N\n"}, {"-", "H\n"}};
        for (const auto &f : files)
            write_file(d + "/" + f[0], f[1]);
        mkdir((d + "/d").c_str(), 0700);
        return d;
    }();
    return dir;
}

static void redirect(const std::string &path, int flags, int fd)
{
    int f = open(path.c_str(), flags, 0600);
    if (f < 0 || dup2(f, fd) < 0)
        _exit(126);
    close(f);
}

void exec_command(const std::vector<std::string> &argv)
{
    std::vector<char *> v;
    for (const std::string &a : argv)
        v.push_back(const_cast<char *>(a.c_str()));
    v.push_back(nullptr);
    execvp(v[0], v.data());
    _exit(127);
}

void exec_quillpass(const std::vector<std::string> &args)
{
    // As a shell would start it: default signal actions (a test runner may
    // ignore SIGPIPE), and no core file from a test that kills it.
    signal(SIGPIPE, SIG_DFL);
    struct rlimit no_core = {0, 0};
    setrlimit(RLIMIT_CORE, &no_core);
    std::vector<char *> argv{const_cast<char *>("quillpass")};
    for (const std::string &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    execv(QUILLPASS_BIN, argv.data());
    _exit(127);
}

Result run_quillpass(const std::vector<std::string> &args, const Io &io)
{
    std::string dir = make_temp_dir();
    std::string in = io.in_path.empty() ? dir + "/in" : io.in_path;
    if (io.in_path.empty())
        write_file(in, io.input);
    // On a terminal: a line discipline that neither echoes nor translates,
    // so that what the program writes arrives as it is.
    struct termios plain = {};
    plain.c_cflag = CS8 | CREAD;
    plain.c_lflag = ICANON | ISIG;
    for (cc_t &c : plain.c_cc)
        c = _POSIX_VDISABLE; // 0 on Linux, but 0xff on FreeBSD, where 0 would make NUL a control key
    plain.c_cc[VMIN] = 1;
    plain.c_cc[VTIME] = 0;
    plain.c_cc[VEOF] = 4;
    plain.c_cc[VINTR] = 3;
    cfsetispeed(&plain, B38400);
    cfsetospeed(&plain, B38400);
    int master = -1;
    pid_t pid = io.terminal ? forkpty(&master, nullptr, &plain, nullptr) : fork();
    if (pid == 0) {
        if (!io.terminal)
            setsid(); // no controlling terminal unless a test gives one
        for (const std::string &e : io.env)
            putenv(strdup(e.c_str()));
        if (!io.cwd.empty() && chdir(io.cwd.c_str()) != 0)
            _exit(126);
        if (!io.terminal)
            redirect(in, O_RDONLY, 0);
        if (io.max_files > 0) {
            struct rlimit l = {static_cast<rlim_t>(io.max_files), static_cast<rlim_t>(io.max_files)};
            setrlimit(RLIMIT_NOFILE, &l);
        }
        if (io.max_file_size > 0) {
            struct rlimit l = {static_cast<rlim_t>(io.max_file_size), static_cast<rlim_t>(io.max_file_size)};
            setrlimit(RLIMIT_FSIZE, &l);
        }
        if (io.close_out)
            close(1);
        else if (!io.terminal)
            redirect(io.out_path.empty() ? dir + "/out" : io.out_path, O_WRONLY | O_CREAT | O_TRUNC, 1);
        if (io.err_to_out)
            dup2(1, 2);
        else
            redirect(dir + "/err", O_WRONLY | O_CREAT | O_TRUNC, 2);
        exec_quillpass(args);
    }
    Result r;
    if (io.terminal) {
        std::string keys = io.input + "\x04"; // typed, then end of file
        if (write(master, keys.data(), keys.size()) != static_cast<ssize_t>(keys.size()))
            kill(pid, SIGKILL);
        r.out = drain(master);
        close(master);
    }
    waitpid(pid, &r.status, 0);
    if (!io.terminal)
        r.out = read_file(dir + "/out");
    r.err = read_file(dir + "/err");
    return r;
}
