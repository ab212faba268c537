#include "output.h"

#if defined(_WIN32)
#include <io.h>
#define velk_isatty _isatty
#define velk_fileno _fileno
#else
#include <unistd.h>
#define velk_isatty isatty
#define velk_fileno fileno
#endif

namespace velk {

namespace {
std::FILE* sink = nullptr;
}

void outputStart() {
    if (velk_isatty(velk_fileno(stdout))) std::setvbuf(stdout, nullptr, _IONBF, 0);
}

void say(const char* text) {
    std::fputs(text, sink != nullptr ? sink : stdout);
}

void outputTo(std::FILE* stream) {
    sink = stream;
}

}  // namespace velk
