// Print jobs through real tmux and screen, as a user runs them: a shell in
// the innermost window, on a pseudo-terminal with its default settings;
// the test plays the outer terminal and keeps what reached its printer.
#include "harness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <poll.h>
#include <random>
#include <sys/stat.h>
#include <termios.h>
#include <sys/wait.h>
#include <unistd.h>
#if defined(__FreeBSD__)
#include <libutil.h>
#else
#include <pty.h>
#endif

namespace {

bool have(const char *tool)
{
    std::string probe = std::string("command -v ") + tool + " >/dev/null";
    if (system(probe.c_str()) == 0)
        return true;
    if (getenv("QUILLPASS_REQUIRE_TOOLS") != nullptr)
        ADD_FAILURE() << tool << " is needed here";
    return false;
}

// The job in the innermost window: its standard error kept, then what
// reached the shell's input while it ran and whether output processing is
// back on, shown on the screen.
const char job_script[] = "\"$QP\" \"$@\" 2>\"$D/err\"; rc=$?\n"
                          "stty -icanon min 0 time 5; in=$(dd bs=64 count=1 2>/dev/null | od -An -tx1 | tr -d ' \\n')\n"
                          "echo \"QP-DONE-$rc-IN<$in>-$(stty -a | tr ' ;' '\\n\\n' | grep -x -e opost -e -opost)\"; sleep 60\n";

struct Outcome {
    std::string terminal; // everything the outer terminal received
    std::string err;
};

// Runs quillpass `args` -f FILE holding `data` in the windows of `stack`
// (innermost first), LANG set to `lang`.
Outcome run_in_stack(const std::string &stack, const char *lang, const std::string &data, std::vector<std::string> args, bool passthrough)
{
    std::string dir = make_temp_dir();
    write_file(dir + "/job.sh", job_script);
    write_file(dir + "/data", data);
    write_file(dir + "/tmux.conf", passthrough ? "set -g allow-passthrough on\n" : "");
    write_file(dir + "/screenrc", "");
    mkdir((dir + "/screens").c_str(), 0700);
    args.insert(args.end(), {"-f", dir + "/data"});
    auto quoted = [](const std::vector<std::string> &words) {
        std::string line;
        for (const std::string &w : words) {
            line += line.empty() ? "'" : " '";
            for (char c : w)
                line += c == '\'' ? std::string("'\\''") : std::string(1, c);
            line += "'";
        }
        return line;
    };
    args.insert(args.begin(), {"sh", dir + "/job.sh"});
    std::string command = quoted(args);
    // Each layer runs the one inside it, from the innermost out.
    int layers = 0;
    for (size_t at = 0; at <= stack.size(); layers++) {
        size_t comma = stack.find(',', at);
        std::string name = "qp" + std::to_string(getpid()) + "x" + std::to_string(layers);
        if (stack.compare(at, comma - at, "tmux") == 0)
            command = quoted({"tmux", "-S", dir + "/" + name, "-f", dir + "/tmux.conf", "new-session", command});
        else
            command = quoted({"screen", "-S", name, "-c", dir + "/screenrc", "sh", "-c", command});
        at = comma == std::string::npos ? stack.size() + 1 : comma + 1;
    }
    int master;
    pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    if (pid == 0) {
        setenv("QP", QUILLPASS_BIN, 1);
        setenv("D", dir.c_str(), 1);
        setenv("TERM", "xterm", 1);
        setenv("LANG", lang, 1);
        unsetenv("LC_ALL");
        unsetenv("LC_CTYPE");
        setenv("SCREENDIR", (dir + "/screens").c_str(), 1);
        setenv("HOME", dir.c_str(), 1);
        execl("/bin/sh", "sh", "-c", ("exec " + command).c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    Outcome o;
    char buf[65536];
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(90);
    auto done = [&] {
        size_t at = o.terminal.find("QP-DONE-");
        return at != std::string::npos && o.terminal.find("post", at) != std::string::npos;
    };
    while (!done() && std::chrono::steady_clock::now() < end) {
        struct pollfd p = {master, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0)
            continue;
        ssize_t n = read(master, buf, sizeof buf);
        if (n <= 0)
            break;
        o.terminal.append(buf, static_cast<size_t>(n));
    }
    for (int i = 0; i < layers; i++) {
        std::string name = "qp" + std::to_string(getpid()) + "x" + std::to_string(i);
        std::string quit = "tmux -S '" + dir + "/" + name + "' kill-server 2>/dev/null; SCREENDIR='" + dir + "/screens' screen -S " + name +
                           " -X quit >/dev/null 2>&1";
        if (system(quit.c_str()) < 0)
            break;
    }
    kill(pid, SIGKILL);
    close(master);
    waitpid(pid, nullptr, 0);
    o.err = read_file(dir + "/err");
    return o;
}

// What reached the printer, frame after frame, and what did not.
std::string printed(const std::string &s, std::string *elsewhere)
{
    std::string paper;
    size_t at = 0;
    for (size_t start; (start = s.find(START, at)) != std::string::npos;) {
        size_t stop = s.find(STOP, start + 4);
        *elsewhere += s.substr(at, start - at);
        paper += s.substr(start + 4, (stop == std::string::npos ? s.size() : stop) - start - 4);
        at = stop == std::string::npos ? s.size() : stop + 4;
    }
    *elsewhere += s.substr(at);
    return paper;
}

// As the line sends it: each LF as CR LF.
std::string on_the_line(const std::string &data)
{
    std::string out;
    for (char c : data)
        out += c == '\n' ? std::string("\r\n") : std::string(1, c);
    return out;
}

// n bytes of text lines, `lfs` of them.
std::string text(size_t n, size_t lfs)
{
    std::string s;
    size_t line = n / lfs;
    while (s.size() + line <= n) {
        std::string l = "ZQXV " + std::to_string(s.size());
        l.resize(line - 1, '.');
        s += l + "\n";
    }
    return s + std::string(n - s.size(), 'x');
}

std::string random_bytes(size_t n)
{
    std::mt19937 gen(21);
    std::string s(n, '\0');
    for (char &c : s)
        c = static_cast<char>(gen());
    return s;
}

std::string without(std::string s, const std::string &bytes)
{
    for (char c : bytes)
        s.erase(std::remove(s.begin(), s.end(), c), s.end());
    return s;
}

// Runs the cases whose stack's outermost layer is `outer`, in `lang`.
void what_reaches_the_printer(const std::string &outer, const std::string &lang)
{
    if (!have("tmux") || !have("screen"))
        GTEST_SKIP() << "tmux and screen are needed";
    // 763 bytes with 20 LFs, then what would drive the terminal if it
    // left printer mode: a title, red text, a request for an answer.
    const std::string hostile = text(763, 20) + "\033]2;PWNED\007\033[31mRED\033[c";
    const std::string random = random_bytes(256 * 1024);
    const std::string wide = "caf\xc3\xa9 \xd0\x94\xe4\xb8\xad \xf0\x9f\x96\xa8 ok\n";
    const struct {
        const char *stack, *lang;
        std::string data;
        std::vector<std::string> args;
        std::string paper;  // "" means the data as the line sends it
        std::string err;    // words on standard error; "" means none
        bool passthrough = true; // tmux's allow-passthrough
    } cases[] = {
        {"tmux", "C", text(1000000, 40000), {"-p"}, "", ""},                  // under tmux's limit with CR LF
        {"tmux", "C.UTF-8", text(1040000, 33906), {"-p"}, "", ""},            // over it only with CR LF
        {"tmux", "C", random, {"-p"}, "", ""},
        {"tmux", "C", "x\n", {"-p"}, "-", "allow-passthrough is off here", false},
        {"screen", "C", hostile, {"-p"}, "", ""},
        {"screen", "C.UTF-8", hostile, {"-p"}, "", ""},
        {"screen", "C", random.substr(0, 65536), {"-p"}, on_the_line(without(random.substr(0, 65536), std::string("\0\x9c", 2))),
         "bytes (NUL or U+009C) cannot pass through screen"},
        {"screen", "C", wide, {"-p"}, "", ""},
        {"screen", "C.UTF-8", wide, {"-p"}, "caf\xc3\xa9   ok\r\n", "9 bytes cannot pass through screen's UTF-8 window"},
        {"screen,tmux", "C", "a\xd0\x9b\\b\n" + hostile, {"-P", "screen,tmux"}, "", ""},
        {"screen,tmux", "C.UTF-8", "a\xd0\x9b\\b\n" + hostile, {"-P", "screen,tmux"}, on_the_line("a\\b\n" + hostile),
         "2 bytes cannot pass through screen's UTF-8 window"},
    };
    for (const auto &c : cases) {
        std::string stack = c.stack;
        if (stack.substr(stack.rfind(',') + 1) != outer || c.lang != lang)
            continue;
        SCOPED_TRACE(std::string(c.stack) + ", LANG=" + c.lang + ", " + std::to_string(c.data.size()) + " bytes");
        Outcome o = run_in_stack(c.stack, c.lang, c.data, c.args, c.passthrough);
        std::string elsewhere;
        std::string paper = printed(o.terminal, &elsewhere);
        const std::string want = c.paper.empty() ? on_the_line(c.data) : c.paper == "-" ? "" : c.paper;
        EXPECT_NE(o.terminal.find(c.paper == "-" ? "QP-DONE-1-" : "QP-DONE-"), std::string::npos);
        if (c.paper == "-") {
            EXPECT_EQ(o.terminal.find(START), std::string::npos) << "nothing written";
        }
        EXPECT_TRUE(paper == want) << "paper: " << paper.size() << " bytes: " << shown(paper, 200)
                                   << "\nexpected: " << want.size() << " bytes: " << shown(want, 200);
        EXPECT_EQ(elsewhere.find("ZQXV"), std::string::npos) << "on the screen: " << shown(elsewhere, 2000);
        EXPECT_NE(elsewhere.find("IN<>-opost"), std::string::npos) << "typed into the shell, or output processing left off: " << shown(elsewhere.substr(elsewhere.size() - std::min<size_t>(elsewhere.size(), 300)));
        if (c.err.empty())
            EXPECT_EQ(o.err, "") << shown(o.err);
        else
            EXPECT_NE(o.err.find(c.err), std::string::npos) << shown(o.err);
    }
}

// What a program writes to a pseudo-terminal with output flags `oflag`
// (and IUTF8 when `utf8`), as the terminal receives it.
std::string through_line(const std::vector<std::string> &argv, tcflag_t oflag, bool utf8)
{
    int master;
    pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    if (pid == 0) {
        struct termios t;
        tcgetattr(0, &t);
        t.c_oflag = oflag;
#ifdef IUTF8
        t.c_iflag = utf8 ? t.c_iflag | IUTF8 : t.c_iflag & ~static_cast<tcflag_t>(IUTF8);
#else
        (void)utf8;
#endif
        tcsetattr(0, TCSANOW, &t);
        exec_command(argv);
    }
    std::string got = drain(master);
    close(master);
    waitpid(pid, nullptr, 0);
    return got;
}

// Through multiplexers the job does the line's output processing itself:
// the paper gets what the line gives any other program (cat) with the
// same settings.
TEST(Layers, OutputProcessedAsTheLineWould)
{
    std::string dir = make_temp_dir();
    const std::string data = "a\tb\r\n\rc\004d\n\t\bx\xc3\xa9\t|\r\r\n\nend \xdf\xe0\xf7\xfe\xff\x9b";
    write_file(dir + "/data", data);
    const struct {
        const char *name;
        tcflag_t oflag;
        bool utf8;
    } settings[] = {
        {"default", OPOST | ONLCR, false},
        {"no output processing", 0, false},
        {"OPOST alone", OPOST, false},
        {"ocrnl", OPOST | ONLCR | OCRNL, false},
        {"onlret onocr", OPOST | ONLRET | ONOCR, false},
        {"onocr ocrnl", OPOST | ONOCR | OCRNL, false},
        {"tab3", OPOST | ONLCR | TAB3, false},
        {"tab3 iutf8", OPOST | ONLCR | TAB3, true},
#ifdef ONOEOT
        {"onoeot", OPOST | ONLCR | ONOEOT, false},
#endif
#ifdef OLCUC
        {"olcuc", OPOST | ONLCR | OLCUC, false},
#endif
    };
    // Mapping to upper case and dropping Ctrl-D would change the frame
    // itself: both are off while the job prints, with or without layers.
    tcflag_t off_while_printing = 0;
#ifdef OLCUC
    off_while_printing |= OLCUC;
#endif
#ifdef ONOEOT
    off_while_printing |= ONOEOT;
#endif
    for (const auto &s : settings) {
        SCOPED_TRACE(s.name);
        std::string plain = through_line({QUILLPASS_BIN, "-f", dir + "/data"}, s.oflag, s.utf8);
        EXPECT_EQ(plain.compare(0, 4, START), 0) << shown(plain);
        std::string want = through_line({"cat", dir + "/data"}, s.oflag & ~off_while_printing, s.utf8);
        std::string out = through_line({QUILLPASS_BIN, "-P", "tmux", "-f", dir + "/data"}, s.oflag, s.utf8);
        for (size_t at; (at = out.find("\033\033")) != std::string::npos;)
            out.erase(at, 1); // tmux's doubled ESC: the data holds none
        std::string elsewhere, paper = printed(out, &elsewhere);
        EXPECT_TRUE(paper == want) << "paper:    " << shown(paper) << "\nexpected: " << shown(want);
    }
}

// A multiplexer that does not answer costs the job two seconds, no more:
// screen's window is then taken to be as the locale says.
TEST(Layers, AnUnansweredQueryIsGivenUp)
{
    std::string dir = make_temp_dir();
    write_file(dir + "/screen", "#!/bin/sh\nexec sleep 30\n");
    chmod((dir + "/screen").c_str(), 0700);
    Io io;
    io.input = "a\xd0\x9b";
    io.env = {"PATH=" + dir + ":/usr/bin:/bin", "STY=1.pts-0.host", "LC_ALL=", "LC_CTYPE=", "LANG=C.UTF-8"};
    auto start = std::chrono::steady_clock::now();
    Result r = run_quillpass({"-p"}, io);
    long ms = static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count());
    EXPECT_LT(ms, 4000);
    EXPECT_EQ(r.out, "\033P" START "a" STOP "\033\\");
    EXPECT_NE(r.err.find("2 bytes cannot pass through screen's UTF-8 window"), std::string::npos) << shown(r.err);
}

// screen takes some five seconds to show a window's first output.
TEST(Layers, ThroughTmuxInC) { what_reaches_the_printer("tmux", "C"); }
TEST(Layers, ThroughTmuxInUtf8) { what_reaches_the_printer("tmux", "C.UTF-8"); }
TEST(Layers, ThroughScreenInC) { what_reaches_the_printer("screen", "C"); }
TEST(Layers, ThroughScreenInUtf8) { what_reaches_the_printer("screen", "C.UTF-8"); }

} // namespace
