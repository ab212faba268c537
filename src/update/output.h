// The run's text output: standard output only, each text character for character.
#pragma once

#include <cstdio>

namespace velk {

// Makes standard output hold nothing back on a terminal (or console), so each dot shows the
// moment it is written; a file or pipe keeps its buffer and is written out at the process exit.
void outputStart();

// Writes one text to the run's output (standard output unless a test points it elsewhere).
void say(const char* text);

// Sends the run's output to another stream; nullptr restores standard output.
void outputTo(std::FILE* stream);

}  // namespace velk
