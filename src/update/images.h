// The two payloads, carried as constant data and generated into the build from images/.
#pragma once

#include <cstddef>

namespace velk {

inline constexpr std::size_t kFpgaImageSize = 509412;  // 0x7C5E4
inline constexpr std::size_t kMcuImageSize = 14336;    // 0x3800, exactly 7 blocks

extern const unsigned char fpgaImage[kFpgaImageSize];
extern const unsigned char mcuImage[kMcuImageSize];

}  // namespace velk
