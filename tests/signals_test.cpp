// Signals mid-job: the terminal must never be left in printer mode.
#include "harness.h"

#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// A running job fed through a pipe, its output read through another.
struct Job {
    pid_t pid;
    int in, out;
    std::string got;

    explicit Job(bool ignore_sigint = false)
    {
        int i[2], o[2];
        if (pipe(i) != 0 || pipe(o) != 0)
            abort();
        // An ignored signal stays ignored across fork and exec.
        if (ignore_sigint)
            signal(SIGINT, SIG_IGN);
        pid = spawn_quillpass({}, i[0], o[1]);
        signal(SIGINT, SIG_DFL);
        close(i[0]);
        close(o[1]);
        in = i[1];
        out = o[0];
    }
    ~Job() { close(out); }

    void send(const std::string &s) { ASSERT_EQ(write(in, s.data(), s.size()), static_cast<ssize_t>(s.size())); }
    // Reads output until it has `total` bytes in all, or five seconds pass.
    const std::string &await(size_t total)
    {
        char buf[4096];
        struct pollfd p = {out, POLLIN, 0};
        while (got.size() < total && poll(&p, 1, 5000) > 0) {
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

TEST(Signals, DeathClosesTheFrameAndKeepsItsCause)
{
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
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
    Job job(true);
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
    Job job;
    job.send("first\n");
    job.await(10);
    kill(job.pid, SIGTSTP);
    int status = wait_for(job.pid, WUNTRACED);
    ASSERT_TRUE(status != -1 && WIFSTOPPED(status)) << status;
    EXPECT_EQ(job.await(14), START "first\n" STOP);
    kill(job.pid, SIGCONT);
    job.send("second\n");
    status = job.finish();
    EXPECT_EQ(job.got, START "first\n" STOP START "second\n" STOP);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

// With nobody reading, the stop sequence cannot be written; a second signal
// must still end the job rather than leave it hanging in the handler.
TEST(Signals, SecondSignalEndsAJobStuckWritingTheStopSequence)
{
    Job job;
    job.await(4);
    fcntl(job.in, F_SETFL, O_NONBLOCK);
    const std::string block(4096, 'x');
    for (int i = 0; i < 1000 && write(job.in, block.data(), block.size()) > 0; i++)
        usleep(1000); // until both pipes are full and the job is stuck

    kill(job.pid, SIGTERM);
    usleep(200 * 1000);
    kill(job.pid, SIGTERM);
    int status = wait_for(job.pid);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
}

} // namespace
