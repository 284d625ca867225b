#ifndef QUILLPASS_TESTS_HARNESS_H
#define QUILLPASS_TESTS_HARNESS_H

#include <cerrno>
#include <string>
#include <vector>

#define START "\033[5i"
#define STOP "\033[4i"

// How the child's descriptors are set up. By default standard input is a
// regular file holding `input`, and standard output and error are captured.
struct Io {
    std::string input;
    std::string in_path;   // read standard input from this path instead
    std::string out_path;  // write standard output here instead of capturing
    bool close_out = false;
    bool err_to_out = false;
    std::string cwd;
    int max_files = 0;     // descriptor limit for the child, when not 0
    long max_file_size = 0; // file size limit for the child, when not 0
    bool terminal = false; // standard input and output on a pseudo-terminal
                           // where `input` is typed, then end of file
    std::vector<std::string> env; // NAME=VALUE set in the child
};

// The exit status, or 128 + the signal for a death by a signal, as a
// shell shows it.
int exit_code(int status);

struct Result {
    std::string out, err;
    int status = -1;       // raw wait status
    int exit_code() const { return ::exit_code(status); }
};

// Runs the program to completion with descriptors set up as `io` says.
Result run_quillpass(const std::vector<std::string> &args, const Io &io = {});

// In a child process: replaces it with the program.
[[noreturn]] void exec_quillpass(const std::vector<std::string> &args);
// Runs argv[0] from PATH with argv, in this process; 127 where it cannot.
[[noreturn]] void exec_command(const std::vector<std::string> &argv);

// Starts the program in its own process group on the given standard input
// and output (and error, when err is not -1), with no other descriptor
// open, and returns at once.
int spawn_quillpass(const std::vector<std::string> &args, int in, int out, int err = -1);

// The raw wait status once the child changes state as `flags` asks, within
// five seconds; a child that hangs is killed and -1 returned.
int wait_for(int pid, int flags = 0);

// Reads fd until end of file (a pseudo-terminal master ends with EIO).
std::string drain(int fd);

// A directory of named files shared by the tests: a, b, c hold "A\n", "B\n",
// "C\n"; "empty" is empty; "-n" holds "N\n" and "-" holds "H\n"; d is a
// directory.
const std::string &fixture_dir();

// s with every byte outside printable ASCII escaped, cut after `limit`
// bytes: what a failing test shows must never drive the terminal.
std::string shown(const std::string &s, size_t limit = 300);

// The C library's wording of an error, which differs between systems.
std::string text_of(int err);
// Whether reading a directory fails, as it does on Linux; on UFS before
// FreeBSD 13 it returns the directory's entries.
bool directory_reads_fail();

std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &data);
std::string make_temp_dir();

#endif
