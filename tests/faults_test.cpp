// Failures and awkward descriptors, with real devices, pipes and terminals.
#include "harness.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#if defined(__FreeBSD__)
#include <libutil.h>
#else
#include <pty.h>
#endif
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace {

struct Fault {
    const char *name;
    std::vector<std::string> args;
    Io io;
    std::string out;
    int status;
    std::string err;
};

Io in_from(const char *path) { Io io; io.in_path = path; return io; }
Io out_to(const char *path) { Io io; io.input = "hello"; io.out_path = path; return io; }
Io closed_out() { Io io; io.close_out = true; return io; }
Io one_stream(Io io) { io.err_to_out = true; io.cwd = fixture_dir(); return io; }

TEST(Faults, ReportedAndTheFrameStillCloses)
{
    const Fault faults[] = {
        {"full device", {"-n"}, out_to("/dev/full"), "", 1, "quillpass: stdout: write error: " + text_of(ENOSPC) + "\n"},
        {"endless input, full device", {}, [] { Io io = in_from("/dev/zero"); io.out_path = "/dev/full"; return io; }(),
         "", 1, "quillpass: stdout: write error: " + text_of(ENOSPC) + "\n"},
        {"closed standard output", {}, closed_out(), "", 1, "quillpass: stdout: write error: " + text_of(EBADF) + "\n"},
        {"unreadable standard input", {"-n"}, in_from("/"), START "\f" STOP, 1, "quillpass: stdin: " + text_of(EISDIR) + "\n"},
        // With one descriptor for both, the message must come after the stop sequence.
        {"held until the frame closes", {}, one_stream(in_from("/")), START STOP "quillpass: stdin: " + text_of(EISDIR) + "\n", 1, ""},
        {"file messages held too", {"-f", "nope", "a"}, one_stream({}), START "\fA\n" STOP "quillpass: nope: " + text_of(ENOENT) + "\n", 1, ""},
        {"no file opened after a write error", {"-f", "a", "nope"}, [] { Io io = out_to("/dev/full"); io.cwd = fixture_dir(); return io; }(),
         "", 1, "quillpass: stdout: write error: " + text_of(ENOSPC) + "\n"},
    };
    for (const Fault &f : faults) {
        SCOPED_TRACE(f.name);
        if (f.err.find(text_of(EISDIR)) != std::string::npos && !directory_reads_fail())
            continue;
        Result r = run_quillpass(f.args, f.io);
        EXPECT_EQ(r.exit_code(), f.status);
        EXPECT_EQ(r.out, f.out);
        EXPECT_EQ(r.err, f.err);
    }
}

// Each file is closed before the next is opened, so a long list fits in a
// handful of descriptors.
TEST(Faults, ManyFilesUnderALowDescriptorLimit)
{
    std::string dir = make_temp_dir();
    std::vector<std::string> args{"-S", "-f"};
    std::string expected = START;
    for (int i = 0; i < 300; i++) {
        std::string name = std::to_string(i);
        if (i % 50 != 7)
            write_file(dir + "/" + name, name);
        args.push_back(name);
        expected += (i % 50 != 7 ? name : "") + (i < 299 ? "\n" : "");
    }
    Io io;
    io.cwd = dir;
    io.max_files = 16;
    Result r = run_quillpass(args, io);
    EXPECT_EQ(r.exit_code(), 1);
    EXPECT_TRUE(r.out == expected + STOP) << shown(r.out);
    EXPECT_EQ(r.err.find("quillpass: 7: " + text_of(ENOENT)), 0u) << shown(r.err);
    EXPECT_EQ(r.err.find("Too many open files"), std::string::npos) << shown(r.err);
}

// Held messages have a bound. Past it, what is written is the first
// messages in order, then one line that counts the rest; a single message
// too long for the whole store is cut, not lost.
TEST(Faults, HeldMessagesPastTheBoundAreCounted)
{
    std::vector<std::string> args{"-f"};
    for (int i = 0; i < 400; i++) // ~250 bytes a message, ~100 KiB in all
        args.push_back("missing/" + std::string(200, 'x') + std::to_string(i));
    args.insert(args.begin() + 250, "missing/" + std::string(4000, 'y')); // no room once ~240 are held
    args.push_back("missing/z");
    Io io;
    io.cwd = fixture_dir();
    Result r = run_quillpass(args, io);
    EXPECT_EQ(r.exit_code(), 1);
    EXPECT_EQ(r.out, START + std::string(401, '\f') + STOP);
    std::vector<std::string> lines;
    for (size_t at = 0, nl; (nl = r.err.find('\n', at)) != std::string::npos; at = nl + 1)
        lines.push_back(r.err.substr(at, nl - at));
    ASSERT_GT(lines.size(), 200u);
    size_t kept = lines.size() - 1;
    for (size_t i = 0; i < kept; i++)
        ASSERT_EQ(lines[i], "quillpass: " + args[i + 1] + ": " + text_of(ENOENT)) << i;
    EXPECT_EQ(lines.back(), "quillpass: " + std::to_string(402 - kept) + " more diagnostics were dropped");
    EXPECT_LE(r.err.size(), 64u * 1024 + 64);

    std::string name(70000, 'n');
    r = run_quillpass({"-f", name}, io);
    EXPECT_EQ(r.err.substr(0, 20), "quillpass: nnnnnnnnn");
    std::string tail = "nnn...: " + text_of(ENAMETOOLONG) + "\n";
    EXPECT_EQ(r.err.substr(r.err.size() - tail.size()), tail) << shown(r.err.substr(r.err.size() - 40));
    EXPECT_GT(r.err.size(), 60000u);
    EXPECT_LE(r.err.size(), 64u * 1024);
}

std::string body(size_t n)
{
    std::string s(n, 'a');
    for (size_t i = 0; i < n; i++)
        s[i] = static_cast<char>('a' + i % 26);
    return s;
}

TEST(Faults, NonBlockingOutputWithASlowReaderLosesNothing)
{
    const std::string data = body(1 << 20);
    std::string path = make_temp_dir() + "/in";
    write_file(path, data);
    int in = open(path.c_str(), O_RDONLY), p[2];
    ASSERT_EQ(pipe(p), 0);
    fcntl(p[1], F_SETFL, O_NONBLOCK);
    int pid = spawn_quillpass({"-b", "65536"}, in, p[1]);
    close(in);
    close(p[1]);
    usleep(200 * 1000); // let the pipe fill so that writes would block
    std::string got = drain(p[0]);
    close(p[0]);
    EXPECT_EQ(exit_code(wait_for(pid)), 0);
    EXPECT_TRUE(got == START + data + STOP) << "got " << got.size() << " bytes";

    // The usage text, into such a pipe with 100 bytes of room.
    ASSERT_EQ(pipe(p), 0);
    fcntl(p[1], F_SETFL, O_NONBLOCK);
    size_t full = 0;
    while (write(p[1], "f", 1) == 1)
        full++;
    char room[100];
    ASSERT_EQ(read(p[0], room, sizeof room), 100);
    in = open("/dev/null", O_RDONLY);
    pid = spawn_quillpass({"-x"}, in, p[1]);
    close(in);
    close(p[1]);
    usleep(200 * 1000);
    got = drain(p[0]);
    close(p[0]);
    EXPECT_EQ(exit_code(wait_for(pid)), 255);
    EXPECT_TRUE(got == std::string(full - 100, 'f') + read_file(TESTS_DIR "/usage.txt")) << "got " << got.size() << " bytes";
}

TEST(Faults, NonBlockingInputWithASlowWriterLosesNothing)
{
    std::string path = make_temp_dir() + "/out";
    int out = open(path.c_str(), O_WRONLY | O_CREAT, 0600), p[2];
    ASSERT_EQ(pipe(p), 0);
    fcntl(p[0], F_SETFL, O_NONBLOCK);
    int pid = spawn_quillpass({"-n"}, p[0], out);
    close(out);
    close(p[0]);
    std::string sent;
    for (int i = 0; i < 5; i++) {
        usleep(30 * 1000);
        std::string piece = body(1000 + i);
        ASSERT_EQ(write(p[1], piece.data(), piece.size()), static_cast<ssize_t>(piece.size()));
        sent += piece;
    }
    close(p[1]);
    EXPECT_EQ(exit_code(wait_for(pid)), 0);
    EXPECT_TRUE(read_file(path) == START + sent + "\f" STOP);
}

// -t on a real pseudo-terminal, the child in its own session with the pty as
// its controlling terminal; standard output goes elsewhere and stays empty.
TEST(Faults, DashTWritesToTheControllingTerminal)
{
    const std::string data = "line one\nline\ttwo\n\033[1mbold\n";
    std::string dir = make_temp_dir();
    write_file(dir + "/in", data);
    int master;
    pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        struct termios t;
        tcgetattr(0, &t);
        cfmakeraw(&t);
        tcsetattr(0, TCSANOW, &t);
        int in = open((dir + "/in").c_str(), O_RDONLY);
        int out = open((dir + "/out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(in, 0);
        dup2(out, 1);
        exec_quillpass({"-t", "-n", "-t"});
    }
    std::string got = drain(master);
    close(master);
    EXPECT_EQ(exit_code(wait_for(pid)), 0);
    EXPECT_TRUE(got == START + data + "\f" STOP) << shown(got);
    EXPECT_EQ(read_file(dir + "/out"), "");
}

} // namespace
