// Debian's real prometheus-node-exporter and promtool, for the tests of the
// tools' metrics files: the exporter serves a folder of *.prom files through its
// textfile collector on a loopback port of the test's own network namespace
// (call sandbox_enter first), as it serves /var/lib/prometheus/node-exporter on
// a box.
#pragma once

#include <string>

#include "child_process.h"

// Starts the exporter with only the textfile collector, reading folder, on
// 127.0.0.1:port, and waits until it answers. false when it did not.
bool node_exporter_start(child_process *proc, const std::string &folder, int port);

// The exporter's /metrics page ("" when it did not answer).
std::string node_exporter_scrape(int port);

// The value of the sample whose name and labels are exactly series (e.g.
// kivo_linkfan_link_up{link="ppp0"}; labels in any order, as the exporter
// sorts them); false when the page (or a tool's own file) holds no such sample.
bool node_exporter_value(const std::string &page, const std::string &series, double *value);

// Runs `promtool check metrics` on the text; its exit status (0: clean), with
// what it printed in *output when given.
int promtool_check_metrics(const std::string &text, std::string *output = nullptr);

// Runs `promtool check rules` on a rules file; its exit status.
int promtool_check_rules(const std::string &path, std::string *output = nullptr);

// Whether text is a whole exposition as a tool writes it: not empty, ending in
// a line feed, every line a comment or "series value". A reader that found a
// file half written sees false.
bool metrics_text_whole(const std::string &text);
