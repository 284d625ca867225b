// End-to-end cases: each runs the built program with arguments and standard
// input and compares its output byte for byte.
#include "harness.h"

#include <gtest/gtest.h>

namespace {

std::string operator""_b(const char *s, size_t n) { return std::string(s, n); }

const std::string usage = read_file(TESTS_DIR "/usage.txt");

std::string pattern(size_t n)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; i++)
        s[i] = static_cast<char>(i * 7 + i / 251);
    return s;
}
const std::string big = pattern(2 * 512 + 276);
const std::string huge = pattern(3 << 20);

// A tmux passthrough string holding `content`.
std::string T(const std::string &content)
{
    std::string s = "\033Ptmux;";
    for (char c : content)
        s += c == '\033' ? std::string(2, c) : std::string(1, c);
    return s + "\033\\";
}
// One tmux string holding a whole frame around `body`.
std::string tmux(const std::string &body) { return T(START + body + STOP); }
// The most tmux takes in one string: its content as written, "tmux;" and
// doubled ESCs included, may not exceed 1048575 bytes.
const size_t tmux_piece = 1048575 - 5 - 10;

// Where the data would end printing, the frame is closed and opened again.
const std::string cut_message = "quillpass: the data would have ended printing at 1 place; printing was restarted there (one more printer run)\n";
const std::string a767(763, 'a');
const std::string framed_x = T(START "x" STOP); // with the start sequence, as much as a screen string holds

const std::vector<std::string> c_locale = {"LC_ALL=", "LC_CTYPE=", "LANG=C"};
const std::vector<std::string> utf8_locale = {"LC_ALL=", "LC_CTYPE=", "LANG=C.UTF-8"};

// data in tmux strings as the program splits it: as much as fits each
// string, an ESC counted as its doubled pair and, for a terminal's line,
// which sends each LF as CR LF, an LF as `lf` bytes.
std::string tmux_split(const std::string &data, size_t lf = 2)
{
    std::string out;
    for (size_t at = 0, end; at < data.size(); at = end) {
        size_t room = tmux_piece;
        for (end = at; end < data.size(); end++) {
            size_t weight = data[end] == '\n' ? lf : data[end] == '\033' ? 2 : 1;
            if (room < weight)
                break;
            room -= weight;
        }
        out += tmux(data.substr(at, end - at));
    }
    return out;
}

struct Case {
    const char *name;
    std::vector<std::string> args;
    std::string input;
    std::string out;  // "usage" stands for the usage text; "help" for it and the lines on -p, -P and -r
    int status;
    std::string err;  // words expected on stderr; "" means stderr stays empty
    std::vector<std::string> env = {}; // NAME=VALUE for the program
};

const Case cases[] = {
    {"empty input", {}, "", START STOP, 0, ""},
    {"empty input -n", {"-n"}, "", START "\f" STOP, 0, ""},
    {"text", {}, "Hello, printer\n", START "Hello, printer\n" STOP, 0, ""},
    {"binary unchanged", {"-n"}, "\0a\033[5i\n\r\xff\0"_b, START "\0a\033[5i\n\r\xff\0\f"_b STOP, 0, ""},
    {"stop sequence in the data: cut before its end", {}, "a\033[4ib", START "a\033[4" STOP STOP START "ib" STOP, 0, cut_message},
    {"cut across chunks", {"-b", "2"}, "a\033[4ib", START "a\033[4" STOP STOP START "ib" STOP, 0, cut_message},
    {"cut: NUL inside, ESC starting again", {}, "\033\033[\0" "4\021i"_b, START "\033\033[\0" "4\021"_b + STOP START "i" STOP, 0, cut_message},
    {"cut: 8-bit CSI", {}, "\x9b" "4i", START "\x9b" "4" STOP START "i" STOP, 0, cut_message},
    {"cut: UTF-8 character whose low byte is ESC", {"-b", "3"}, "\xd0\x9b[4i", START "\xd0\x9b[4" STOP START "i" STOP, 0, cut_message},
    {"cut: ... split across chunks", {"-b", "1"}, "\xd0\x9b[4i", START "\xd0\x9b[4" STOP START "i" STOP, 0, cut_message},
    {"cut before a UTF-8 character that ends it", {"-b", "4"}, "\033[4\xc5\xa9", START "\033[4" STOP STOP START "\xc5\xa9" STOP, 0, cut_message},
    {"cut: five-byte form worth ESC", {}, "\xf8\x80\x80\x80\x9b[4i\033]2;PWNED\a",
     START "\xf8\x80\x80\x80\x9b[4" STOP START "i\033]2;PWNED\a" STOP, 0, cut_message},
    {"cut: ... a byte a chunk", {"-b", "1"}, "\xf8\x80\x80\x80\x9b[4i\033]2;PWNED\a",
     START "\xf8\x80\x80\x80\x9b[4" STOP START "i\033]2;PWNED\a" STOP, 0, cut_message},
    {"cut: six-byte form worth ESC", {"-b", "3"}, "\xfc\x80\x80\x80\x80\x9b[4ix", START "\xfc\x80\x80\x80\x80\x9b[4" STOP START "ix" STOP, 0, cut_message},
    {"cut: a combining mark inside", {}, "\033[4\xcc\x81i\033]2;PWNED\a", START "\033[4\xcc\x81" STOP START "i\033]2;PWNED\a" STOP, 0, cut_message},
    {"cut: ... before a mark a chunk ends in", {"-b", "1"}, "\033[4\xcc\x81i\033]2;PWNED\a",
     START "\033[4" STOP STOP START "\xcc\x81i\033]2;PWNED\a" STOP, 0, cut_message},
    {"cut: a combining mark after ESC", {}, "\033\xcc\x81[4ix", START "\033\xcc\x81[4" STOP START "ix" STOP, 0, cut_message},
    {"cut: bytes read in 7 bits", {}, "\033\xdb\xb4\xe9x", START "\033\xdb\xb4" STOP START "\xe9x" STOP, 0, cut_message},
    {"cut: ... 0x9B as ESC", {"-b", "2"}, "\x9b\xdb\xb4\xe9x", START "\x9b\xdb\xb4" STOP START "\xe9x" STOP, 0, cut_message},
    {"trailing ESC: stop sequence twice", {}, "a\033", START "a\033" STOP STOP, 0, ""},
    {"several chunks", {}, big, START + big + STOP, 0, ""},
    {"small chunks", {"-b", "7"}, big, START + big + STOP, 0, ""},
    {"largest chunk", {"-b16777216"}, huge, START + huge + STOP, 0, ""},
    {"-nS", {"-nS"}, "x", START "x\f" STOP, 0, ""},
    {"-nb100", {"-nb100"}, big, START + big + "\f" STOP, 0, ""},
    {"last -b wins", {"-b", "100", "-b", "200"}, "x", START "x" STOP, 0, ""},
    {"operands ignored without -f", {"a", "b"}, "x", START "x" STOP, 0, ""},
    {"-- ends options", {"--", "-n"}, "x", START "x" STOP, 0, ""},
    {"lone - is an operand", {"-", "-n"}, "x", START "x" STOP, 0, ""},
    {"first operand ends options", {"a", "-n"}, "x", START "x" STOP, 0, ""},
    {"unknown option", {"-x"}, "x", "usage", 255, "quillpass: unknown option '-x'\n"},
    {"unknown after good", {"-n", "-x"}, "x", "usage", 255, "quillpass: unknown option '-x'\n"},
    {"unknown option escaped", {"-\033"}, "x", "usage", 255, "quillpass: unknown option '-\\033'\n"},
    {"-b without value", {"-b"}, "x", "usage", 255, "quillpass: option '-b' needs a value\n"},
    {"-b takes -n as value", {"-b", "-n"}, "x", "usage", 255, "invalid buffer size '-n'"},
    {"-b 0", {"-b", "0"}, "x", "usage", 255, "invalid buffer size '0'"},
    {"-b negative", {"-b-5"}, "x", "usage", 255, "invalid buffer size '-5'"},
    {"-b empty", {"-b", ""}, "x", "usage", 255, "invalid buffer size ''"},
    {"-b 4k", {"-b", "4k"}, "x", "usage", 255, "invalid buffer size '4k'"},
    {"-b too large", {"-b", "16777217"}, "x", "usage", 255, "invalid buffer size"},
    {"-b overflow", {"-b", "4294967808"}, "x", "usage", 255, "invalid buffer size"},
    {"-b value shown with controls escaped", {"-b", "1\033[5i"}, "x", "usage", 255, "invalid buffer size '1\\033[5i'\n"},
    {"bad -b after good", {"-b", "100", "-b", "x"}, "x", "usage", 255, "invalid buffer size 'x'"},
    {"-t without a terminal", {"-t"}, "x", "", 1, "quillpass: -t needs a controlling terminal, and this process has none\n"},
    {"--help", {"--help"}, "x", "help", 0, ""},
    {"--help after good options", {"-n", "-b", "9", "--help"}, "x", "help", 0, ""},
    {"--help after a bad option", {"-x", "--help"}, "x", "usage", 255, "quillpass: unknown option '-x'\n"},
    {"--help as the value of -b", {"-b", "--help"}, "x", "usage", 255, "invalid buffer size '--help'"},
    {"--help after an operand is an operand", {"a", "--help"}, "x", START "x" STOP, 0, ""},
    {"--help after -- is a file", {"-f", "--", "--help"}, "", START STOP, 1, "quillpass: --help: " + text_of(ENOENT)},
    {"unknown long option named whole", {"--colour"}, "x", "usage", 255, "quillpass: unknown option '--colour'\n"},
    {"long option with a value named whole", {"--help=all"}, "x", "usage", 255, "quillpass: unknown option '--help=all'\n"},
    {"hyphens inside grouped letters", {"-n--"}, "x", "usage", 255, "quillpass: unknown option '--'\n"},
    {"-t then bad option", {"-t", "-x"}, "x", "usage", 255, "unknown option '-x'"},
    {"files with FF between", {"-f", "a", "b", "c"}, "x", START "A\n\fB\n\fC\n" STOP, 0, ""},
    {"files with LF between", {"-S", "-f", "a", "b", "c"}, "", START "A\n\nB\n\nC\n" STOP, 0, ""},
    {"files then FF", {"-f", "-n", "a", "b", "c"}, "", START "A\n\fB\n\fC\n\f" STOP, 0, ""},
    {"files with LF then FF", {"-Snf", "a", "b", "c"}, "", START "A\n\nB\n\nC\n\f" STOP, 0, ""},
    {"one file", {"-f", "b"}, "", START "B\n" STOP, 0, ""},
    {"no files: stdin untouched", {"-f"}, "x", START STOP, 0, ""},
    {"no files -n", {"-f", "-n"}, "x", START "\f" STOP, 0, ""},
    {"-f twice", {"-f", "-f", "a"}, "x", START "A\n" STOP, 0, ""},
    {"missing file keeps its separator", {"-f", "a", "missing", "c"}, "", START "A\n\f\fC\n" STOP, 1,
     "quillpass: missing: " + text_of(ENOENT) + "\n"},
    {"directory keeps its separator", {"-f", "a", "d", "c"}, "", START "A\n\f\fC\n" STOP, 1, "quillpass: d: " + text_of(EISDIR) + "\n"},
    {"missing last file", {"-nf", "a", "./missing"}, "", START "A\n\f\f" STOP, 1, "quillpass: ./missing: " + text_of(ENOENT)},
    {"empty file keeps its separator", {"-f", "a", "empty", "c"}, "", START "A\n\f\fC\n" STOP, 0, ""},
    {"file named twice", {"-f", "a", "a"}, "", START "A\n\fA\n" STOP, 0, ""},
    {"option after a file is a file", {"-f", "a", "-n"}, "", START "A\n\fN\n" STOP, 0, ""},
    {"-- before a file named -n", {"-f", "--", "-n"}, "", START "N\n" STOP, 0, ""},
    {"- is standard input", {"-f", "-"}, "x", START "x" STOP, 0, ""},
    {"- among files, read once", {"-f", "a", "-", "b", "-", "c"}, "x", START "A\n\fx\fB\n\f\fC\n" STOP, 0, ""},
    {"./- is the file named -", {"-f", "./-"}, "x", START "H\n" STOP, 0, ""},
    {"-- then - is still standard input", {"-f", "--", "-"}, "x", START "x" STOP, 0, ""},
    {"file name shown with controls escaped", {"-f", "x\033[5i\n\x7f"}, "", START STOP, 1, "quillpass: x\\033[5i\\012\\177: " + text_of(ENOENT)},
    {"8-bit CSI in a name escaped", {"-f", "x\2335i"}, "", START STOP, 1, "quillpass: x\\2335i: " + text_of(ENOENT)},
    {"UTF-8 C1 control in a name escaped", {"-f", "x\xc2\x9b" "5i"}, "", START STOP, 1, "quillpass: x\\302\\2335i: " + text_of(ENOENT)},
    {"UTF-8 name shown as it is", {"-f", "caf\xc3\xa9 \xe2\x82\xac\xf0\x9f\x96\xa8"}, "", START STOP, 1,
     "quillpass: caf\xc3\xa9 \xe2\x82\xac\xf0\x9f\x96\xa8: " + text_of(ENOENT)},
    {"broken UTF-8 escaped where it is C1", {"-f", "\xe2\x82" "A\xed\xa0\x80\xe9"}, "", START STOP, 1, "quillpass: \xe2\\202A\xed\xa0\\200\xe9: " + text_of(ENOENT)},
    {"-t then bad -b", {"-t", "-b0"}, "x", "usage", 255, "invalid buffer size"},
    {"-p: the job in one string", {"-p", "-b", "512"}, big, tmux(big), 0, ""},
    {"-p: cut inside the string", {"-p"}, "x\033[4iy", tmux("x\033[4" STOP STOP START "iy"), 0, cut_message},
    {"-p: nothing to print, nothing written", {"-p"}, "", "", 0, ""},
    {"-p: separators and form-feed", {"-pnf", "a", "b"}, "", tmux("A\n\fB\n\f"), 0, ""},
    {"-p: a job over tmux's limit split", {"-p", "-b", "65536"}, huge, tmux_split(huge), 0, ""},
    {"-p -r: ... LF counted once", {"-p", "-r", "-b", "65536"}, huge, tmux_split(huge, 1), 0, ""},
    {"-P tmux,tmux", {"-P", "tmux,tmux"}, "x", T(T(START "x" STOP)), 0, ""},
    {"-P screen", {"-P", "screen"}, "x", "\033P" START "x" STOP "\033\\", 0, ""},
    {"-P screen: a string ends after an ESC before a backslash", {"-P", "screen"}, "a\033\\b",
     "\033P" START "a\033\033\\\033P\\b" STOP "\033\\", 0, ""},
    {"-P screen: at most 767 bytes a string", {"-P", "screen"}, a767 + "bc",
     "\033P" START + a767 + "\033\\\033Pbc" STOP "\033\\", 0, ""},
    {"-P screen: never cut inside a UTF-8 character", {"-P", "screen"}, a767.substr(1) + "\xc3\xa9",
     "\033P" START + a767.substr(1) + "\033\\\033P\xc3\xa9" STOP "\033\\", 0, ""},
    {"-P screen: NUL and U+009C left out", {"-P", "screen", "-b", "3"}, "a\0b\xc2\x9c" "c\x9c"_b,
     "\033P" START "ab\xc2" "c" STOP "\033\\", 1, "quillpass: 3 bytes (NUL or U+009C) cannot pass through screen and were not printed\n", c_locale},
    {"with files, the cut names its file", {"-f", "a", "-"}, "x\033[4iy", START "A\n\fx\033[4" STOP STOP START "iy" STOP, 0,
     "quillpass: stdin: " + cut_message.substr(11)},
    {"with files, left-out bytes name their file", {"-P", "screen", "-f", "-", "a"}, "x\0"_b, "\033P" START "x\fA\n" STOP "\033\\", 1,
     "quillpass: stdin: 1 byte (NUL or U+009C) cannot pass through screen and was not printed\n", c_locale},
    {"-P screen, UTF-8: only ASCII and U+0080 to U+00FF pass", {"-P", "screen", "-b", "3"}, "a\0b\xc2\x9c" "c\x9c\xc3\xa9\xd0\x9b\\\xe4\xb8\xad\xc2" "d\xff"_b,
     "\033P" START "abc\xc3\xa9\\d" STOP "\033\\", 1,
     "quillpass: 11 bytes cannot pass through screen's UTF-8 window and were not printed (NUL, U+009C, characters beyond U+00FF, "
     "bytes that are not UTF-8); a window whose encoding is not UTF-8 (C-a :encoding ISO8859-1) passes all but NUL and 0x9C\n", utf8_locale},
    {"-P screen, UTF-8: characters across reads", {"-P", "screen", "-b", "1"}, "a\xc2\x9c" "b\xc3\xa9\xd0\x9b\xc3",
     "\033P" START "ab\xc3\xa9" STOP "\033\\", 1, "quillpass: 5 bytes cannot pass", utf8_locale},
    {"-P screen, UTF-8: ... in one read", {"-P", "screen"}, "a\xc2\x9c" "b\xc3\xa9\xd0\x9b\xc3",
     "\033P" START "ab\xc3\xa9" STOP "\033\\", 1, "quillpass: 5 bytes cannot pass", utf8_locale},
    {"-P screen: LF counted as CR LF", {"-P", "screen"}, a767.substr(1) + "\nb",
     "\033P" START + a767.substr(1) + "\033\\\033P\nb" STOP "\033\\", 0, ""},
    {"-P screen: ... not with -r", {"-P", "screen", "-r"}, a767.substr(1) + "\nb",
     "\033P" START + a767.substr(1) + "\n\033\\\033Pb" STOP "\033\\", 0, ""},
    {"-P tmux: a cut where the string fills up opens no empty frame", {"-P", "tmux"}, std::string(1048548, 'a') + "\x9b" "4itail",
     T(START + std::string(1048548, 'a') + "\x9b" "4" STOP) + tmux("itail"), 0, cut_message},
    {"-P screen,tmux", {"-P", "screen,tmux"}, "x", "\033P" + framed_x.substr(0, framed_x.size() - 1) + "\033\\\033P\\\033\\", 0, ""},
    {"-P tmux,screen", {"-P", "tmux,screen"}, "x", T("\033P" START "x" STOP "\033\\"), 0, ""},
    {"-P bad list", {"-P", "tmux,,screen"}, "x", "usage", 255, "quillpass: invalid multiplexer list 'tmux,,screen'"},
    {"-P too many", {"-P", "tmux,tmux,tmux,tmux,tmux"}, "x", "usage", 255, "invalid multiplexer list"},
    {"-p inside screen", {"-p"}, "x", "\033P" START "x" STOP "\033\\", 0, "", {"STY=1.pts-0.host"}},
    {"-p inside tmux", {"-p"}, "x", tmux("x"), 0, "", {"TMUX=/tmp/tmux-0/default,1,0"}},
    {"-p: TMUX and STY both set", {"-p"}, "x", "usage", 255, "quillpass: both TMUX and STY are set: name the multiplexers with -P, innermost first\n",
     {"TMUX=/tmp/tmux-0/default,1,0", "STY=1.pts-0.host"}},
    {"-P wins over -p", {"-p", "-P", "screen"}, "x", "\033P" START "x" STOP "\033\\", 0, "", {"TMUX=/tmp/tmux-0/default,1,0", "STY=1.pts-0.host"}},
    {"-r: output not a terminal", {"-r", "-n"}, "a\nb", START "a\nb\f" STOP, 0, ""},
    {"TMUX set, output not a terminal: no hint", {}, "x", START "x" STOP, 0, "", {"TMUX=/tmp/tmux-0/default,1,0"}},
};

TEST(EndToEnd, Table)
{
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Io io;
        io.input = c.input;
        io.cwd = fixture_dir();
        io.env = c.env;
        Result r = run_quillpass(c.args, io);
        EXPECT_EQ(r.exit_code(), c.status);
        const std::string &want = c.out == "usage" ? usage : c.out;
        if (c.out == "help") {
            EXPECT_EQ(r.out.compare(0, usage.size(), usage), 0) << shown(r.out);
            for (const char *line : {"\n\t -p  ", "\n\t -P LIST  ", "\n\t -r  ", "- is stdin"})
                EXPECT_NE(r.out.find(line, usage.size()), std::string::npos) << line;
        } else
            EXPECT_TRUE(r.out == want) << "output:   " << shown(r.out) << "\nexpected: " << shown(want);
        if (c.err.find(text_of(EISDIR)) != std::string::npos && !directory_reads_fail())
            continue;
        if (c.err.empty())
            EXPECT_EQ(r.err, "") << shown(r.err);
        else
            EXPECT_NE(r.err.find(c.err), std::string::npos) << shown(r.err);
    }
}

// At a terminal, typed input: a hint for what commonly goes wrong, before
// printer mode starts, and only where it applies. The keys named are the
// terminal's (here ^D and ^C).
TEST(EndToEnd, HintsAtATerminal)
{
    const std::string tmux_env = "TMUX=/tmp/tmux-0/default,1,0";
    const std::string keyboard = "quillpass: reading the keyboard; Ctrl-D ends the job, Ctrl-C cancels it\n";
    const struct {
        const char *name;
        std::vector<std::string> args, env;
        std::string out, err;
    } cases[] = {
        {"operands without -f", {"a"}, {}, START "typed\n" STOP,
         "quillpass: reading the keyboard (the operands are printed only with -f); Ctrl-D ends the job, Ctrl-C cancels it\n"},
        {"operands with -f", {"-f", "a"}, {}, START "A\n" STOP, ""},
        {"-f with no operands reads nothing", {"-f"}, {}, START STOP, ""},
        {"no operands", {}, {}, START "typed\n" STOP, keyboard},
        {"- among the files", {"-f", "a", "-"}, {}, START "A\n\ftyped\n" STOP, keyboard},
        {"./- is the file", {"-f", "./-"}, {}, START "H\n" STOP, ""},
        {"inside tmux without -p", {}, {tmux_env}, START "typed\n" STOP,
         keyboard + "quillpass: inside tmux the printer is reached only with -p (and tmux's allow-passthrough on)\n"},
        {"inside tmux with -p", {"-p"}, {tmux_env}, tmux("typed\n"), keyboard},
        {"inside screen without -p", {}, {"STY=1.pts-0.host"}, START "typed\n" STOP,
         keyboard + "quillpass: inside screen the job reaches the printer in pieces, a printer run each; -p prints it in one\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Io io;
        io.terminal = true;
        io.input = "typed\n";
        io.cwd = fixture_dir();
        io.env = c.env;
        Result r = run_quillpass(c.args, io);
        EXPECT_EQ(r.exit_code(), 0);
        EXPECT_TRUE(r.out == c.out) << "output:   " << shown(r.out) << "\nexpected: " << shown(c.out);
        EXPECT_EQ(r.err, c.err);
    }
}

} // namespace
