#include "print_job.h"

#include "diagnostics.h"
#include "frame.h"
#include "full_io.h"
#include "print_settings.h"
#include "signals.h"
#include "terminal.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <unistd.h>

// Obtained once before the first read; every chunk reuses it.
static char *relay_buffer;

// Between begin_job() and end_job().
static bool job_running;
// What is being printed, for a job that must give up.
static const char *source = "stdin";
static int files_after_source;
static bool data_taken;
static bool failure_reported;

bool allocate_relay_buffer()
{
    relay_buffer = map_storage(static_cast<size_t>(buffer_size));
    if (relay_buffer == nullptr || !allocate_frame_storage()) {
        report_failure("relay buffer", errno);
        return false;
    }
    return true;
}

// The first failure of the output is reported; nothing is written after it.
static void report_output_failure(int err)
{
    if (failure_reported)
        return;
    failure_reported = true;
    exit_status = 1;
    report("", output_name, ": write error: ", strerror(err));
}

// Takes the terminal out of printing and puts its settings back, with
// SIGTTOU blocked so that a job in the background may do so (only a
// terminal raises it). `for_good` false: the job stops and comes back.
// `output_alive` false: the output is gone, so nothing is written to it.
static void leave_terminal(bool for_good, bool output_alive)
{
    sigset_t saved;
    bool terminal = output_is_terminal();
    if (terminal)
        block_tty_output_stop(&saved);
    if (output_alive)
        stop_discarding_output();
    if (!output_alive)
        drop_frame();
    else if (!close_frame(for_good))
        report_output_failure(errno);
    restore_settings();
    if (terminal)
        restore_signal_mask(&saved);
}

static void flush_everything()
{
    while (!flush_diagnostics()) {
    }
}

// The counts already reported, and the file the counts since are about
// ("" for standard input without -f).
static unsigned long cuts_reported, left_out_reported;
static const char *counted_source = "";

// "quillpass: [SOURCE: ]TEXT COUNT ONE|MANY MORE".
static void report_count(const char *text, unsigned long count, const char *one, const char *many,
                         const char *more = "")
{
    char digits[24], line[400];
    snprintf(line, sizeof line, "%s%s%s%s", text, decimal(count, digits), count == 1 ? one : many, more);
    report("", counted_source, counted_source[0] != '\0' ? ": " : "", line);
}

// What the job has to say about its data since the last report: once at
// the end, and with files after each file, naming it.
static void report_on_data()
{
    unsigned long cuts = cuts_made() - cuts_reported;
    if (cuts > 0)
        report_count("the data would have ended printing at ", cuts,
                     " place; printing was restarted there (one more printer run)",
                     " places; printing was restarted there (one more printer run each)");
    unsigned long left = bytes_left_out() - left_out_reported;
    if (left > 0) {
        exit_status = 1;
        if (screen_utf8())
            report_count("", left, " byte cannot pass through screen's UTF-8 window and was not printed",
                         " bytes cannot pass through screen's UTF-8 window and were not printed",
                         " (NUL, U+009C, characters beyond U+00FF, bytes that are not UTF-8); "
                         "a window whose encoding is not UTF-8 (C-a :encoding ISO8859-1) passes all but NUL and 0x9C");
        else
            report_count("", left, " byte (NUL or U+009C) cannot pass through screen and was not printed",
                         " bytes (NUL or U+009C) cannot pass through screen and were not printed");
    }
    cuts_reported += cuts;
    left_out_reported += left;
}

// The terminal belongs to another job and this one cannot wait for it: it
// stops printing, leaves the terminal as it found it, and says why and what
// it did not print.
[[noreturn]] static void give_up(const char *why = "the terminal belongs to another job; ")
{
    begin_acting();
    // A frame gathered for tmux was never written, and stays so.
    leave_terminal(true, !frames_gathered());
    if (!data_taken)
        report(why, "", "nothing printed", "");
    else
        report(why, source, files_after_source > 0 ? " and the files after it were not printed in full" : " was not printed in full", "");
    exit_status = 1;
    flush_everything();
    _exit(exit_status);
}

[[noreturn]] static void die(int sig)
{
    // No stop sequence is owed to a pipe or a file that is gone.
    leave_terminal(true, sig != SIGPIPE && sig != SIGXFSZ);
    report_on_data();
    flush_everything();
    die_of(sig);
}

// Waits, stopped, while another process group owns the terminal, as the
// terminal itself stops a job that writes under tostop. A job that cannot
// be stopped (an orphaned process group, a session leader, SIGTTOU ignored)
// gives up. Returns false when a death waits instead.
static bool await_foreground()
{
    // A shell without job control (a script, a subshell) starts `quillpass &`
    // with SIGINT and SIGQUIT ignored, in its own process group: the job
    // has the terminal only until that shell ends, and nothing tells it
    // when the terminal goes back to the shell the user types at.
    if (output_is_our_terminal() && ignored_at_start(SIGINT) && ignored_at_start(SIGQUIT))
        give_up("started in the background by a shell without job control; ");
    while (pending_death() == 0 && !in_foreground()) {
        if (leads_session() || ignored_at_start(SIGTTOU))
            give_up();
        long before = continues();
        stop_by_default(SIGTTOU, true);
        if (continues() == before)
            give_up(); // the kernel discarded the stop
    }
    return pending_death() == 0;
}

static void enter_terminal()
{
    if (!await_foreground())
        return;
    apply_printing_settings();
    if (!open_frame())
        report_output_failure(errno);
}

static void suspend(int sig, long mark)
{
    if (continues() != mark)
        return; // continued before it could stop
    if (leads_session()) {
        // Nothing in its session could ever continue it.
        if (in_foreground())
            return;
        give_up();
    }
    leave_terminal(false, true);
    if (pending_death() != 0)
        return;
    if (continues() == mark)
        stop_by_default(sig, false);
    if (job_running)
        enter_terminal();
}

// The one place that acts on what the handlers noted.
static void act_on_signals()
{
    if (!signals_pending() || !begin_acting())
        return;
    sigset_t saved;
    block_tty_output_stop(&saved);
    for (;;) {
        if (int sig = pending_death())
            die(sig);
        long mark;
        if (int sig = take_stop(&mark)) {
            suspend(sig, mark);
        } else if (take_continue()) {
            // Continued without having stopped itself (SIGSTOP): back in
            // the background, it must not go on printing.
            if (job_running && !in_foreground())
                suspend(SIGTTOU, continues());
        } else {
            break;
        }
    }
    restore_signal_mask(&saved);
    end_acting();
}

// From a handler: a second death, or a fault.
static void last_resort(bool close_output)
{
    if (close_output) {
        stop_discarding_output();
        close_frame_at_once();
    }
    restore_settings_at_once();
}

void install_job_signal_handlers()
{
    install_signal_handlers(act_on_signals, last_resort);
}

void begin_job()
{
    hold_diagnostics();
    job_running = true;
    begin_acting();
    enter_terminal();
    end_acting();
    act_on_signals();
}

void end_job()
{
    job_running = false;
    begin_acting();
    leave_terminal(true, true);
    end_acting();
    act_on_signals();
    report_on_data();
    while (!flush_diagnostics())
        act_on_signals();
}

bool emit(char *buf, size_t count)
{
    if (output_failed())
        return false;
    data_taken = true;
    for (size_t done = 0; done < count;) {
        ssize_t n = print_data(buf + done, count - done);
        if (n < 0) {
            int err = errno;
            act_on_signals(); // a broken pipe dies of it rather than report it
            // Written to from the background in an orphaned process group,
            // the terminal refuses.
            if (err == EIO && output_is_our_terminal() && !in_foreground())
                give_up();
            report_output_failure(err);
            return false;
        }
        done += static_cast<size_t>(n);
        act_on_signals();
    }
    return true;
}

int relay_chunk(int fd)
{
    if (output_failed())
        return relay_write_failed;
    ssize_t n = read_input(fd, relay_buffer, static_cast<size_t>(buffer_size));
    if (n < 0)
        return relay_read_failed;
    if (n > 0 && !emit(relay_buffer, static_cast<size_t>(n)))
        return relay_write_failed;
    return static_cast<int>(n);
}

bool relay_source(int fd, const char *name, int files_after)
{
    source = name;
    files_after_source = files_after;
    if (first_file > 0)
        counted_source = name;
    int n;
    while ((n = relay_chunk(fd)) > 0) {
    }
    if (n == relay_read_failed)
        report_failure(name, errno);
    if (first_file > 0) {
        report_on_data();
        counted_source = "";
    }
    return n != relay_write_failed;
}
