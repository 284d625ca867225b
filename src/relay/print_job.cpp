#include "print_job.h"

#include "diagnostics.h"
#include "full_io.h"
#include "print_settings.h"
#include "signals.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <sys/mman.h>
#include <termios.h>
#include <unistd.h>

// Obtained once before the first read; every chunk reuses it.
static char *relay_buffer;

// Set once a write to the output has failed: from then on nothing more is
// read or written, apart from one last try at the stop sequence.
static bool output_failed;

// Between open_frame() and close_frame().
static volatile sig_atomic_t job_open;
// The start sequence is out and the stop sequence not yet.
static bool printer_on;
// The output terminal's settings as found, while -r has changed them.
static bool settings_changed;
static struct termios settings_found;

// With -p every unit goes out as tmux passthrough strings, each holding a
// whole frame: ESC P tmux; ESC ESC [5i <unit, ESC doubled> ESC ESC [4i ST,
// where ST is ESC and a backslash. tmux discards a string whose content,
// "tmux;" included and doubled ESCs counted once, exceeds 1048575 bytes,
// so longer units are split.
static const char string_open[] = "\033Ptmux;\033\033[5i";
static const char string_close[] = "\033\033[4i\033\\";
constexpr size_t tmux_string_limit = 1048575;
constexpr size_t piece_limit = tmux_string_limit - (sizeof "tmux;" - 1) - 2 * sequence_length;
constexpr size_t string_overhead = sizeof string_open - 1 + sizeof string_close - 1;
static char *wrapped;
static size_t string_ends[(16u << 20) / piece_limit + 2];

// Mapped rather than taken from malloc(), which would set up its arena
// for this one block: a measurable part of an empty job's start-up.
static char *map_storage(size_t size)
{
    void *p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return p == MAP_FAILED ? nullptr : static_cast<char *>(p);
}

bool allocate_relay_buffer()
{
    size_t size = static_cast<size_t>(buffer_size);
    relay_buffer = map_storage(size);
    if (relay_buffer != nullptr && passthrough != 0)
        wrapped = map_storage(2 * size + (size / piece_limit + 1) * string_overhead);
    if (relay_buffer == nullptr || (passthrough != 0 && wrapped == nullptr)) {
        warn("relay buffer", errno);
        return false;
    }
    return true;
}

static char *append(char *at, const char *text, size_t n)
{
    memcpy(at, text, n);
    return at + n;
}

// Wraps buf into `wrapped`; returns its length and fills string_ends.
static size_t wrap_for_tmux(const char *buf, size_t count, size_t *strings)
{
    char *at = wrapped;
    *strings = 0;
    for (size_t from = 0; from < count; from += piece_limit) {
        size_t to = count - from < piece_limit ? count : from + piece_limit;
        at = append(at, string_open, sizeof string_open - 1);
        for (size_t i = from; i < to; i++) {
            if (buf[i] == '\033')
                *at++ = '\033';
            *at++ = buf[i];
        }
        at = append(at, string_close, sizeof string_close - 1);
        string_ends[(*strings)++] = static_cast<size_t>(at - wrapped);
    }
    return static_cast<size_t>(at - wrapped);
}

static bool fail_output()
{
    output_failed = true;
    warn("write error", errno);
    return false;
}

bool emit(const char *buf, size_t count)
{
    if (output_failed)
        return false;
    bool ok;
    if (passthrough != 0) {
        size_t strings;
        size_t length = wrap_for_tmux(buf, count, &strings);
        ok = write_all(out_fd, wrapped, length, string_ends, strings);
    } else {
        ok = write_all(out_fd, buf, count);
    }
    return ok || fail_output();
}

// A control sequence is never left half written.
static void emit_sequence(const char *sequence)
{
    if (output_failed) {
        write_all(out_fd, sequence, sequence_length); // one last try; already reported
        return;
    }
    static const size_t whole[] = {sequence_length};
    if (!write_all(out_fd, sequence, sequence_length, whole, 1))
        fail_output();
}

static void set_output_terminal(const struct termios *settings)
{
    // Queued output drains first, so nothing written before is translated
    // differently; SIGTTOU is held so that a job in the background may put
    // the settings back.
    sigset_t saved;
    hold_tty_output_stop(&saved);
    while (tcsetattr(out_fd, TCSADRAIN, settings) != 0 && errno == EINTR) {
    }
    restore_signal_mask(&saved);
}

void leave_printer_mode(bool output_alive)
{
    if (printer_on && output_alive)
        emit_sequence(stop_sequence);
    printer_on = false;
    if (settings_changed)
        set_output_terminal(&settings_found);
    settings_changed = false;
}

void enter_printer_mode()
{
    if (!await_foreground() || output_failed)
        return;
    if (raw_output != 0 && tcgetattr(out_fd, &settings_found) == 0) {
        struct termios raw = settings_found;
        raw.c_oflag &= ~static_cast<tcflag_t>(OPOST);
        set_output_terminal(&raw);
        settings_changed = true;
    }
    if (passthrough == 0) {
        printer_on = true;
        emit_sequence(start_sequence);
    }
}

bool job_running()
{
    return job_open != 0;
}

static void leave_for_good()
{
    leave_printer_mode(true);
}

void open_frame()
{
    hold_diagnostics();
    job_open = 1;
    with_signals_noted(enter_printer_mode);
}

void close_frame()
{
    job_open = 0;
    with_signals_noted(leave_for_good);
    flush_diagnostics();
}

int relay_chunk()
{
    if (output_failed)
        return relay_write_failed;
    ssize_t n = read_input(in_fd, relay_buffer, static_cast<size_t>(buffer_size));
    if (n < 0)
        return relay_read_failed;
    if (n > 0 && !emit(relay_buffer, static_cast<size_t>(n)))
        return relay_write_failed;
    return static_cast<int>(n);
}

bool relay_source(const char *name)
{
    int n;
    while ((n = relay_chunk()) > 0) {
    }
    if (n == relay_read_failed)
        warn(name, errno);
    return n != relay_write_failed;
}
