// A service unit held against what its tool really does: the system calls a
// run makes (strace -f) checked against the unit's SystemCallFilter=, as
// systemd-analyze expands its groups, and the unit's capability bounding set
// and user given to a run through setpriv, so that a directive that would
// break a box in the field fails a test instead.
#pragma once

#include <set>
#include <string>
#include <vector>

// Every value of the directive name in the unit's text, in order (a line
// "Name=a b" gives "a b"); an empty assignment empties what came before, as
// systemd reads it.
std::vector<std::string> unit_values(const std::string &unit, const std::string &name);

// The system calls the unit's SystemCallFilter= lines allow: the calls and
// groups of its allow lists (groups expanded, nested ones too, by
// systemd-analyze syscall-filter), less those of its "~" lines. false when
// the unit has no allow list or a group cannot be expanded.
bool unit_allowed_calls(const std::string &unit, std::set<std::string> *allowed);

// The names of the system calls in an strace -f -o log.
std::set<std::string> strace_calls(const std::string &log);

// The calls of made that allowed lacks, in name order.
std::vector<std::string> calls_outside(const std::set<std::string> &allowed,
                                       const std::set<std::string> &made);

// The setpriv words that start a program as the unit would as to
// capabilities: the bounding set of its CapabilityBoundingSet= (all of them
// when it names none), and its AmbientCapabilities= raised in the inheritable
// and ambient sets. With user (a uid), also that user and its group, with no
// supplementary groups, as DynamicUser= runs a service.
std::vector<std::string> unit_setpriv(const std::string &unit, int user = -1);

// A command under strace -f writing its log to log: the words to put before
// the program's own.
std::vector<std::string> strace_words(const std::string &log);
