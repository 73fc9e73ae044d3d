#include "node_exporter.h"

#include <algorithm>
#include <cstdlib>
#include <sstream>
#include <vector>

#include <unistd.h>

#include "sandbox.h"
#include "temp_dir.h"

namespace {

std::string url(int port)
{
    return "http://127.0.0.1:" + std::to_string(port) + "/metrics";
}

// Runs a command with text on its standard input, through a file (the texts are
// small); the command's exit status, its output in *output.
int run_with_input(const std::string &command, const std::string &text, std::string *output)
{
    temp_dir dir("promtool");
    if (dir.path.empty())
        return -1;
    int status = -1;
    if (sandbox_write_file(dir / "input", text))
        status = sandbox_sh(command + " <" + (dir / "input") + " >" + (dir / "output") + " 2>&1");
    if (output != nullptr)
        *output = sandbox_read_file(dir / "output");
    return status;
}

// A series with its labels in name order, as the exporter writes them: the
// same series whatever order a tool or a test wrote them in.
std::string canonical(const std::string &series)
{
    size_t open = series.find('{');
    if (open == std::string::npos || series.back() != '}')
        return series;
    std::vector<std::string> labels;
    std::string label;
    bool quoted = false;
    for (size_t i = open + 1; i + 1 < series.size(); i++) {
        char c = series[i];
        if (c == ',' && !quoted) {
            labels.push_back(label);
            label.clear();
            continue;
        }
        if (c == '"' && (i == 0 || series[i - 1] != '\\'))
            quoted = !quoted;
        label += c;
    }
    if (!label.empty())
        labels.push_back(label);
    std::sort(labels.begin(), labels.end());
    std::string out = series.substr(0, open + 1);
    for (size_t i = 0; i < labels.size(); i++)
        out += (i ? "," : "") + labels[i];
    return out + "}";
}

} // namespace

bool node_exporter_start(child_process *proc, const std::string &folder, int port)
{
    std::string listen = "--web.listen-address=127.0.0.1:" + std::to_string(port);
    if (!child_start(proc, {"/usr/bin/prometheus-node-exporter", "--collector.disable-defaults",
                            "--collector.textfile",
                            "--collector.textfile.directory=" + folder, listen}))
        return false;
    for (int i = 0; i < 100; i++) {
        if (!node_exporter_scrape(port).empty())
            return true;
        if (child_ended(proc, nullptr))
            return false;
        usleep(100000);
    }
    return false;
}

std::string node_exporter_scrape(int port)
{
    return sandbox_output("curl -sf --max-time 5 " + url(port));
}

bool node_exporter_value(const std::string &page, const std::string &series, double *value)
{
    const std::string wanted = canonical(series);
    std::istringstream lines(page);
    std::string line;
    while (std::getline(lines, line)) {
        size_t blank = line.rfind(' ');
        if (line.empty() || line[0] == '#' || blank == std::string::npos)
            continue;
        if (canonical(line.substr(0, blank)) == wanted) {
            *value = std::strtod(line.c_str() + blank + 1, nullptr);
            return true;
        }
    }
    return false;
}

int promtool_check_metrics(const std::string &text, std::string *output)
{
    return run_with_input("promtool check metrics", text, output);
}

int promtool_check_rules(const std::string &path, std::string *output)
{
    return run_with_input("promtool check rules " + path, "", output);
}

bool metrics_text_whole(const std::string &text)
{
    if (text.empty() || text.back() != '\n')
        return false;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.empty())
            return false;
        if (line[0] == '#')
            continue;
        size_t blank = line.rfind(' ');
        if (blank == std::string::npos || blank == 0 || blank + 1 == line.size())
            return false;
        char *end = nullptr;
        std::strtod(line.c_str() + blank + 1, &end);
        if (end == nullptr || *end != '\0')
            return false;
    }
    return true;
}
