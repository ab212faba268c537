// Helpers shared by the tests that drive the simulated platform.
#pragma once

#include <cstdio>
#include <string>

#include "sim.h"
#include "update/output.h"

namespace velk::test {

// Collects what the run writes to its output while it lives.
struct CapturedOutput {
    std::FILE* file;
    CapturedOutput() : file(std::tmpfile()) { outputTo(file); }
    ~CapturedOutput() {
        outputTo(nullptr);
        std::fclose(file);
    }
    std::string text() const {
        std::fflush(file);
        std::string all;
        std::rewind(file);
        char buffer[4096];
        std::size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) all.append(buffer, n);
        return all;
    }
    CapturedOutput(const CapturedOutput&) = delete;
    CapturedOutput& operator=(const CapturedOutput&) = delete;
};

// A world holding only the Velk.
inline sim::World velkWorld() {
    sim::World w;
    w.interfaces.push_back(sim::velkInterface());
    return w;
}

// The run's text for a failure at FPGA block index k (k blocks confirmed before it).
inline std::string fpgaFailureText(int k) {
    return "Updating FPGA." + std::string(static_cast<std::size_t>(k), '.') + " failed.\n";
}

inline const std::string& completeRunText() {
    static const std::string text = "Updating FPGA." + std::string(249, '.') + " done.\n" + "Updating MCU." +
                                    std::string(7, '.') + " done.\n" + "Restarting...\n";
    return text;
}

}  // namespace velk::test
