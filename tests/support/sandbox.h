// Private network and mount namespaces for tests: nothing a test does to routing,
// firewall rules, ports or /etc reaches the machine it runs on.
#pragma once

#include <sys/types.h>

#include <string>

// Moves the calling process (call it in a forked child, or in a test binary that
// runs one scenario) into a new network namespace, and with mounts=true also a new
// mount namespace whose mounts are all private, so later bind mounts stay inside.
// Brings lo up. Returns 0, or -1 with a message on standard error.
int sandbox_enter(bool mounts);

// Bind-mounts source over target inside the sandbox (mounts=true first).
// read_only remounts the bind read-only. Returns 0 or -1.
int sandbox_bind(const char *source, const char *target, bool read_only = false);

// Runs a shell command line and returns its exit status (-1 if it could not run).
int sandbox_sh(const std::string &cmd);

// Runs a shell command line and returns what it wrote on standard output.
std::string sandbox_output(const std::string &cmd);

// Returns a file's whole content, or an empty text when it cannot be read.
std::string sandbox_read_file(const std::string &path);

// Writes text as a file's whole content; false when it could not be written.
bool sandbox_write_file(const std::string &path, const std::string &text);

// A path's type and mode as lstat(2) gives them (a link's own), 0 when
// nothing is there.
mode_t sandbox_mode_of(const std::string &path);

// Makes a fresh directory under /tmp and returns its path.
std::string sandbox_tempdir(const char *tag);
