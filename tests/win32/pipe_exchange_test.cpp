// The Win32 backend's report exchange on a real overlapped handle. A named pipe in message mode
// stands in for the HID interface: the device end is opened by hidOpen as an interface is (shared,
// overlapped), and reads one 64-byte message per report as a HID handle reads one report; the
// server end plays the Velk. What is proved here on the platform itself: a wait that runs out is
// cancelled and its end awaited, so a late completion never lands in a buffer after the exchange
// gave it back; the completion serves again afterwards; a short, long or refused transfer fails.
#include <gtest/gtest.h>

#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "hid/device.h"
#include "hid/platform.h"

namespace velk {
namespace {

using Clock = std::chrono::steady_clock;

long long msSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// The server end's own transfers, each awaited at most `ms` and cancelled when it runs out.
// Returns the bytes moved, or -1 when the transfer failed or did not end in time.
long serverTransfer(HANDLE server, bool write, void* data, DWORD size, DWORD ms) {
    OVERLAPPED ol{};
    ol.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    const BOOL ok = write ? WriteFile(server, data, size, nullptr, &ol) : ReadFile(server, data, size, nullptr, &ol);
    long moved = -1;
    if (ok || GetLastError() == ERROR_IO_PENDING) {
        if (WaitForSingleObject(ol.hEvent, ms) != WAIT_OBJECT_0) CancelIoEx(server, &ol);
        DWORD n = 0;
        if (GetOverlappedResult(server, &ol, &n, TRUE)) moved = static_cast<long>(n);
    }
    CloseHandle(ol.hEvent);
    return moved;
}

class PipeExchange : public ::testing::Test {
protected:
    // A pipe whose buffers hold about `bufferBytes` each way.
    void open(DWORD bufferBytes) {
        static int serial = 0;
        char name[80];
        std::snprintf(name, sizeof name, "\\\\.\\pipe\\velk-exchange-%lu-%d", GetCurrentProcessId(), ++serial);
        server = CreateNamedPipeA(name, PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                  PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, bufferBytes, bufferBytes,
                                  0, nullptr);
        ASSERT_NE(server, INVALID_HANDLE_VALUE) << GetLastError();
        device = hidOpen(name);
        ASSERT_NE(device, kNoDevice) << GetLastError();
        DWORD mode = PIPE_READMODE_MESSAGE;
        ASSERT_TRUE(SetNamedPipeHandleState(static_cast<HANDLE>(device), &mode, nullptr, nullptr));
        ASSERT_TRUE(completionOpen(&completion));
    }
    void close() {
        if (completion.event != nullptr) completionClose(&completion);
        completion = Completion{};
        hidClose(device);
        device = kNoDevice;
        if (server != INVALID_HANDLE_VALUE) CloseHandle(server);
        server = INVALID_HANDLE_VALUE;
    }
    void TearDown() override { close(); }
    // Bytes waiting to be read at the device end, left where they are.
    DWORD waitingAtDevice() const {
        DWORD available = 0;
        EXPECT_TRUE(PeekNamedPipe(static_cast<HANDLE>(device), nullptr, 0, nullptr, &available, nullptr));
        return available;
    }
    long serverWrite(const unsigned char* data, DWORD size) {
        unsigned char copy[256];
        std::memcpy(copy, data, size);
        return serverTransfer(server, true, copy, size, 2000);
    }
    long serverRead(unsigned char* data, DWORD ms) { return serverTransfer(server, false, data, kReportSize, ms); }

    HANDLE server = INVALID_HANDLE_VALUE;
    DeviceHandle device = kNoDevice;
    Completion completion{};
};

void pattern(unsigned char* report, unsigned char value) {
    std::memset(report, value, kReportSize);
    report[0] = 0;  // the report ID
}

TEST_F(PipeExchange, ReadWithNothingToReadTimesOutThreeTimesAndIsCancelled) {
    open(4096);
    unsigned char buffer[kReportSize];
    std::memset(buffer, 0xAA, sizeof buffer);

    const Clock::time_point start = Clock::now();
    EXPECT_EQ(getresult(device, buffer, &completion), 0);
    const long long elapsed = msSince(start);
    EXPECT_GE(elapsed, 3 * 2000 - 50);  // Windows may end a wait up to a clock tick early
    EXPECT_LT(elapsed, 20000);

    // The buffer is the caller's again. An answer that comes now must stay in the pipe: had a read
    // been left pending, it would take the answer and write it into the buffer.
    std::memset(buffer, 0xAA, sizeof buffer);
    unsigned char answer[kReportSize];
    pattern(answer, 0x55);
    ASSERT_EQ(serverWrite(answer, kReportSize), 64);
    Sleep(200);
    for (unsigned char b : buffer) ASSERT_EQ(b, 0xAA);
    EXPECT_EQ(waitingAtDevice(), 64u);

    // The same completion serves the next read, which takes the answer.
    EXPECT_EQ(getresult(device, buffer, &completion), 1);
    EXPECT_EQ(std::memcmp(buffer, answer, kReportSize), 0);
    EXPECT_EQ(waitingAtDevice(), 0u);
}

TEST_F(PipeExchange, WriteIntoAFullPipeTimesOutThreeTimesAndIsCancelled) {
    open(64);
    // Fill the pipe with messages of 0x11 until a write no longer completes; that last one is
    // cancelled, so only completed fillers are in the pipe.
    unsigned char filler[kReportSize];
    pattern(filler, 0x11);
    int fillers = 0;
    for (;; ++fillers) {
        ASSERT_LT(fillers, 1000) << "the pipe never filled";
        Completion fill{};
        ASSERT_TRUE(completionOpen(&fill));
        ASSERT_EQ(hidStartWrite(device, filler, &fill), TransferStart::pending);
        const WaitResult r = hidWait(device, &fill, 100);
        if (r == WaitResult::timedOut) hidEnd(device, &fill);
        completionClose(&fill);
        if (r == WaitResult::timedOut) break;
        ASSERT_EQ(r, WaitResult::completed);
    }
    ASSERT_GE(fillers, 1);

    unsigned char report[kReportSize];
    pattern(report, 0x22);
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(sendblock(device, report, &completion), 0);
    const long long elapsed = msSince(start);
    EXPECT_GE(elapsed, 3 * 200 - 50);
    EXPECT_LT(elapsed, 10000);

    // The report buffer is the caller's again; nothing of it may reach the other end now.
    pattern(report, 0x33);
    unsigned char got[kReportSize];
    for (int k = 0; k < fillers; ++k) {
        ASSERT_EQ(serverRead(got, 2000), 64) << "filler " << k;
        EXPECT_EQ(std::memcmp(got, filler, kReportSize), 0) << "filler " << k;
    }
    EXPECT_EQ(serverRead(got, 300), -1) << "a write of the exchange was still pending: byte 1 is " << int{got[1]};

    // With room in the pipe the same completion serves the next write.
    EXPECT_EQ(sendblock(device, report, &completion), 1);
    ASSERT_EQ(serverRead(got, 2000), 64);
    EXPECT_EQ(std::memcmp(got, report, kReportSize), 0);
}

TEST_F(PipeExchange, ReadAnsweredBeforeOrDuringItsWaitCompletes) {
    struct Case {
        const char* name;
        DWORD answerAfterMs;  // after the read's start; 0: before it
    };
    const Case cases[] = {{"answer waiting", 0}, {"answer during the first wait", 300}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        open(4096);
        unsigned char answer[kReportSize];
        pattern(answer, 0x46);
        answer[1] = 'F';
        answer[2] = '+';
        std::thread other;
        if (c.answerAfterMs == 0) {
            ASSERT_EQ(serverWrite(answer, kReportSize), 64);
        } else {
            other = std::thread([&] {
                Sleep(c.answerAfterMs);
                serverWrite(answer, kReportSize);
            });
        }
        unsigned char buffer[kReportSize];
        const Clock::time_point start = Clock::now();
        EXPECT_EQ(getresult(device, buffer, &completion), 1);
        const long long elapsed = msSince(start);
        if (other.joinable()) other.join();
        EXPECT_EQ(std::memcmp(buffer, answer, kReportSize), 0);
        EXPECT_GE(elapsed, static_cast<long long>(c.answerAfterMs) - 50);
        EXPECT_LT(elapsed, 2000) << "the answer was not taken in the first try";
        close();
    }
}

TEST_F(PipeExchange, WriteWithRoomCompletesAndDeliversTheReportUnchanged) {
    open(4096);
    unsigned char report[kReportSize];
    for (std::size_t i = 0; i < kReportSize; ++i) report[i] = static_cast<unsigned char>(i * 7);
    report[0] = 0;
    EXPECT_EQ(sendblock(device, report, &completion), 1);
    unsigned char got[kReportSize] = {};
    ASSERT_EQ(serverRead(got, 2000), 64);
    EXPECT_EQ(std::memcmp(got, report, kReportSize), 0);
    EXPECT_EQ(serverRead(got, 100), -1) << "the report went more than once";
}

// Only a transfer of all 64 bytes counts: a shorter message, or a longer one of which the read
// takes 64 bytes and leaves the rest (refused at the start when it is already waiting), fails the
// try instead of completing it.
TEST_F(PipeExchange, ReadOfAnythingButOneWholeReportFails) {
    struct Case {
        DWORD bytes;
        WaitResult expected;
    };
    const Case cases[] = {{10, WaitResult::failed}, {63, WaitResult::failed}, {64, WaitResult::completed},
                          {100, WaitResult::failed}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bytes);
        open(4096);
        unsigned char message[256];
        std::memset(message, 0x5A, sizeof message);
        ASSERT_EQ(serverWrite(message, c.bytes), static_cast<long>(c.bytes));
        unsigned char buffer[kReportSize];
        const WaitResult outcome = hidStartRead(device, buffer, &completion) == TransferStart::failed
                                       ? WaitResult::failed
                                       : hidWait(device, &completion, 2000);
        EXPECT_EQ(outcome, c.expected);
        close();
    }
}

// A transfer that the platform refuses at once leaves nothing pending and is failed at once, so the
// exchange does not wait for an event that nothing will signal.
TEST_F(PipeExchange, TransferOnABrokenPipeIsRefusedAtOnce) {
    open(4096);
    CloseHandle(server);
    server = INVALID_HANDLE_VALUE;
    unsigned char report[kReportSize];
    pattern(report, 0x22);
    EXPECT_EQ(hidStartWrite(device, report, &completion), TransferStart::failed);
    EXPECT_EQ(hidStartRead(device, report, &completion), TransferStart::failed);
}

}  // namespace
}  // namespace velk
