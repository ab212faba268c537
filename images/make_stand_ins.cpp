// Writes the stand-in payloads fpga.bin and mcu.bin into the current folder. They have the real
// payloads' lengths and the FPGA stream's lead-in (32 bytes 0xFF, then 0xAA 0x99); the rest is a
// fixed pseudo-random sequence, so every run of this program writes the same bytes.
//
//   c++ -std=c++20 -o make_stand_ins make_stand_ins.cpp && ./make_stand_ins
#include <cstdint>
#include <cstdio>
#include <vector>

namespace {

std::uint32_t state = 0x5A170005u;

unsigned char next() {
    // xorshift32
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return static_cast<unsigned char>(state >> 24);
}

bool save(const char* name, const std::vector<unsigned char>& bytes) {
    std::FILE* f = std::fopen(name, "wb");
    if (f == nullptr) return false;
    const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}

}  // namespace

int main() {
    std::vector<unsigned char> fpga(509412);
    for (std::size_t i = 0; i < fpga.size(); ++i) fpga[i] = i < 32 ? 0xFF : next();
    fpga[32] = 0xAA;
    fpga[33] = 0x99;
    std::vector<unsigned char> mcu(14336);
    for (auto& b : mcu) b = next();
    if (!save("fpga.bin", fpga) || !save("mcu.bin", mcu)) {
        std::perror("make_stand_ins");
        return 1;
    }
    return 0;
}
