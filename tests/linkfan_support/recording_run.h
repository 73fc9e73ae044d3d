// A command runner for tests: records every command line and pause of the
// phases, runs the commands for real (inside the test's own namespaces) the
// way the program does, ip commands batched, and sleeps not at all, so whole
// cycles take only the commands' time. A pause or a read runs what is
// pending; a test that looks at the kernel right after a phase calls
// linkfan_shell_settle() first.
#pragma once

#include <functional>
#include <string>
#include <vector>

// Every command in the order it ran; reads are marked with a leading "< ".
extern std::vector<std::string> recorded_commands;
// Every pause asked for, in microseconds.
extern std::vector<unsigned long> recorded_pauses;
// Called at every pause (after recording it), so a test can change the links
// at a known point of discovery or of a cycle; empty by default.
extern std::function<void()> pause_hook;

void recording_reset();
