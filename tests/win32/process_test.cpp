// The Windows programs as Windows runs them, standard output and standard error on pipes.
// velkupdate.exe with no Velk present: the search walks the platform's own HID interfaces, finds
// none that matches, and the run says so and exits with status 2, with or without arguments.
// velksim.exe, the same run against the simulated Velk: the complete run and the two failures.
// Standard output is a text stream, so every line end arrives as "\r\n".
//
// Usage: velk_process_test VELKUPDATE VELKSIM [gtest flags]
// The paths may be absolute Unix paths under Wine: rooted on the current drive, they name the
// same files.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <string>

namespace {

const char* velkupdate = nullptr;
const char* velksim = nullptr;

struct Outcome {
    bool ran = false;
    DWORD status = 0;
    std::string out, err;
};

// Everything the pipe delivers until its writers are gone.
std::string drain(HANDLE pipe) {
    std::string text;
    char chunk[512];
    DWORD n = 0;
    while (ReadFile(pipe, chunk, sizeof chunk, &n, nullptr) && n > 0) text.append(chunk, n);
    return text;
}

Outcome run(const char* program, const std::string& arguments) {
    Outcome o;
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE outRead, outWrite, errRead, errWrite;
    if (!CreatePipe(&outRead, &outWrite, &inherit, 0)) return o;
    if (!CreatePipe(&errRead, &errWrite, &inherit, 0)) return o;
    SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(errRead, HANDLE_FLAG_INHERIT, 0);
    HANDLE input = CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0,
                               nullptr);

    STARTUPINFOA si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = input;
    si.hStdOutput = outWrite;
    si.hStdError = errWrite;
    std::string commandLine = std::string("\"") + program + "\"" + arguments;
    PROCESS_INFORMATION pi{};
    const BOOL started = CreateProcessA(program, commandLine.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW,
                                        nullptr, nullptr, &si, &pi);
    CloseHandle(outWrite);
    CloseHandle(errWrite);
    CloseHandle(input);
    if (started) {
        // The output is far smaller than a pipe's buffer: reading one pipe to its end first
        // cannot hold the other up.
        o.out = drain(outRead);
        o.err = drain(errRead);
        o.ran = WaitForSingleObject(pi.hProcess, 60000) == WAIT_OBJECT_0 && GetExitCodeProcess(pi.hProcess, &o.status);
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
    }
    CloseHandle(outRead);
    CloseHandle(errRead);
    return o;
}

TEST(VelkupdateProcess, WithoutAVelkItPrintsTheNotFoundMessageAndExits2) {
    const char* const argumentLists[] = {"", " --help", " 1 2 3", " /? \"two words\" -v"};
    for (const char* arguments : argumentLists) {
        SCOPED_TRACE(std::string("arguments:") + arguments);
        const Outcome o = run(velkupdate, arguments);
        ASSERT_TRUE(o.ran) << "could not run " << velkupdate << ": " << GetLastError();
        EXPECT_EQ(o.status, 2u);
        EXPECT_EQ(o.out,
                  "No Velk found. Please restart Velk in bootloader mode (press and hold CONFIG during power on).\r\n");
        EXPECT_EQ(o.err, "");
    }
}

TEST(VelksimProcess, ARunsOutputArrivesWithWindowsLineEnds) {
    const std::string fpga = "Updating FPGA." + std::string(249, '.') + " done.\r\n";
    struct Case {
        const char* arguments;
        std::string out;
        DWORD status;
    };
    const Case cases[] = {
        {"", fpga + "Updating MCU." + std::string(7, '.') + " done.\r\nRestarting...\r\n", 0},
        {" --fail-block 0x1000", "Updating FPGA. failed.\r\n", 3},
        {" --fail-block 4", fpga + "Updating MCU. failed.\r\n", 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("arguments:") + c.arguments);
        const Outcome o = run(velksim, c.arguments);
        ASSERT_TRUE(o.ran) << "could not run " << velksim << ": " << GetLastError();
        EXPECT_EQ(o.status, c.status);
        EXPECT_EQ(o.out, c.out);
    }
    // The complete run: 311 characters, each of its three line ends two bytes.
    EXPECT_EQ(cases[0].out.size(), 314u);
}

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s VELKUPDATE VELKSIM [gtest flags]\n", argv[0]);
        return 2;
    }
    velkupdate = argv[1];
    velksim = argv[2];
    return RUN_ALL_TESTS();
}
