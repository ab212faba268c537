// velksim as a process: its exact standard output and exit status through a pipe, its trace, and
// through a pseudo-terminal, dots that arrive while the run goes on.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support.h"
#include "update/run.h"

namespace velk {
namespace {

struct Process {
    int status = -1;
    std::string out, err;
};

std::string slurp(int fd) {
    std::string all;
    char buffer[4096];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0) all.append(buffer, static_cast<std::size_t>(n));
    return all;
}

// Runs velksim with these arguments; standard output through a pipe, standard error to a file.
Process velksim(std::vector<std::string> args) {
    int out[2];
    EXPECT_EQ(pipe(out), 0);
    char errPath[] = "/tmp/velksim-err-XXXXXX";
    const int err = mkstemp(errPath);
    EXPECT_GE(err, 0);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        dup2(err, 2);
        close(out[0]);
        std::vector<char*> argv{const_cast<char*>(VELKSIM_PATH)};
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(VELKSIM_PATH, argv.data());
        _exit(127);
    }
    close(out[1]);
    Process p;
    p.out = slurp(out[0]);
    close(out[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    p.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    lseek(err, 0, SEEK_SET);
    p.err = slurp(err);
    close(err);
    unlink(errPath);
    return p;
}

TEST(Velksim, CompleteRunThroughAPipe) {
    const Process p = velksim({});
    EXPECT_EQ(p.status, 0);
    EXPECT_EQ(p.out, test::completeRunText());
    EXPECT_EQ(p.out.size(), 311u);
    EXPECT_NE(p.err.find("9217 reports received, 256 blocks received, 256 acknowledged"), std::string::npos) << p.err;
    EXPECT_NE(p.err.find("FPGA stream equals the embedded image: yes"), std::string::npos) << p.err;
    EXPECT_NE(p.err.find("MCU image equals the embedded image: yes"), std::string::npos) << p.err;
    EXPECT_NE(p.err.find("restart report received: yes"), std::string::npos) << p.err;
}

TEST(Velksim, NoDeviceAndFailingBlocks) {
    const std::string fpgaLine = "Updating FPGA." + std::string(249, '.') + " done.\n";
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string out;
    };
    const Case cases[] = {
        {{"--no-device"}, 2, kNotFoundText},
        {{"--fail-block", "0x1000"}, 3, test::fpgaFailureText(0)},
        {{"--fail-block", "4101"}, 3, test::fpgaFailureText(5)},
        {{"--fail-block", "0x10f8"}, 3, test::fpgaFailureText(248)},
        {{"--fail-block", "4"}, 3, fpgaLine + "Updating MCU. failed.\n"},
        {{"--fail-block", "0xA"}, 3, fpgaLine + "Updating MCU." + std::string(6, '.') + " failed.\n"},
    };
    for (const Case& c : cases) {
        const Process p = velksim(c.args);
        EXPECT_EQ(p.status, c.status) << c.args[0];
        EXPECT_EQ(p.out, c.out) << c.args[0];
        if (c.status == 3) {
            EXPECT_NE(p.err.find("restart report received: no"), std::string::npos);
        }
    }
}

TEST(Velksim, BadOptionsPrintUsageAndRunNothing) {
    const std::vector<std::string> cases[] = {
        {"--fail-block"}, {"--fail-block", "0x2000"}, {"--fail-block", "12x"}, {"--pace-us", "-5"}, {"--bogus"},
        {"--trace"},
    };
    for (const auto& args : cases) {
        const Process p = velksim(args);
        EXPECT_EQ(p.status, 1) << args[0];
        EXPECT_EQ(p.out, "") << args[0];
        EXPECT_NE(p.err.find("usage: velksim"), std::string::npos) << args[0];
    }
    const Process help = velksim({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind("usage: velksim", 0), 0u);
}

TEST(Velksim, TraceListsEveryReportInWireOrder) {
    const std::string path = "/tmp/velksim-trace-" + std::to_string(getpid());
    const Process p = velksim({"--trace", path});
    ASSERT_EQ(p.status, 0);
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    std::remove(path.c_str());

    ASSERT_EQ(lines.size(), 9216u + 1 + 256);
    long writes = 0, reads = 0;
    for (const std::string& l : lines) {
        ASSERT_EQ(l.size(), 130u) << l;
        ASSERT_TRUE(l[0] == 'W' || l[0] == 'R') << l;
        ASSERT_EQ(l[1], ' ');
        ASSERT_EQ(l.find_first_not_of("0123456789abcdef", 2), std::string::npos) << l;
        (l[0] == 'W' ? writes : reads) += 1;
    }
    EXPECT_EQ(writes, 9217);
    EXPECT_EQ(reads, 256);
    // Block 0x1000, chunk 0: the header, the length prefix, the image's lead-in.
    EXPECT_EQ(lines[0].substr(0, 30), "W 00462a001000" "0007c5e4" "ffffffff");
    // After the 36th data report, the acknowledgement.
    EXPECT_EQ(lines[35].substr(0, 14), "W 00462a001023");
    EXPECT_EQ(lines[36], "R 00462b0010" + std::string(118, '0'));
    // The restart report is last.
    EXPECT_EQ(lines.back(), "W 00462a4700ff" + std::string(116, '0'));
}

TEST(Velksim, DotsShowOnATerminalWhileTheRunGoesOn) {
    int master = -1;
    const pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        // About 1 s of real time: 100 us per report.
        execl(VELKSIM_PATH, VELKSIM_PATH, "--pace-us", "100", static_cast<char*>(nullptr));
        _exit(127);
    }
    std::string all;
    int readsWithDots = 0;
    bool runningAtFirstDot = false;
    for (;;) {
        pollfd pfd{master, POLLIN, 0};
        if (poll(&pfd, 1, 20'000) <= 0) break;
        char buffer[512];
        const ssize_t n = read(master, buffer, sizeof buffer);
        if (n <= 0) break;  // EIO once the child has gone
        const std::string piece(buffer, static_cast<std::size_t>(n));
        if (piece.find('.') != std::string::npos && all.find("done") == std::string::npos) {
            if (readsWithDots == 0) runningAtFirstDot = waitpid(pid, nullptr, WNOHANG) == 0;
            ++readsWithDots;
        }
        all += piece;
    }
    int status = 0;
    waitpid(pid, &status, 0);
    close(master);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_NE(all.find("Updating FPGA."), std::string::npos) << all;
    EXPECT_NE(all.find("Restarting..."), std::string::npos) << all;
    // A terminal that held the line back would deliver the FPGA phase's dots in one piece.
    EXPECT_TRUE(runningAtFirstDot);
    EXPECT_GE(readsWithDots, 20) << all;
}

}  // namespace
}  // namespace velk
