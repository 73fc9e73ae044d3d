#include "unit_check.h"

#include <algorithm>
#include <cctype>
#include <sstream>

#include "sandbox.h"

namespace {

std::vector<std::string> words_of(const std::string &text)
{
    std::istringstream in(text);
    std::vector<std::string> words;
    for (std::string word; in >> word;)
        words.push_back(word);
    return words;
}

// One group, or one call, as the calls it stands for.
bool expand(const std::string &item, std::set<std::string> *calls, int depth = 0)
{
    if (item.empty() || item[0] != '@') {
        calls->insert(item);
        return true;
    }
    if (depth > 8)
        return false;
    std::string listing = sandbox_output("systemd-analyze syscall-filter " + item + " 2>/dev/null");
    bool any = false;
    std::istringstream lines(listing);
    for (std::string line; std::getline(lines, line);) {
        // The group's own name comes first, unindented; its members follow,
        // indented, after a comment.
        if (line.rfind("    ", 0) != 0)
            continue;
        std::string name = line.substr(4);
        if (name.empty() || name[0] == '#')
            continue;
        if (!expand(name, calls, depth + 1))
            return false;
        any = true;
    }
    return any;
}

std::string lower(std::string text)
{
    for (char &c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// "CAP_NET_RAW CAP_BPF" as setpriv's "+net_raw,+bpf".
std::string caps_of(const std::vector<std::string> &values)
{
    std::string out;
    for (const std::string &value : values)
        for (const std::string &cap : words_of(value))
            out += ",+" + lower(cap.rfind("CAP_", 0) == 0 ? cap.substr(4) : cap);
    return out;
}

} // namespace

std::vector<std::string> unit_values(const std::string &unit, const std::string &name)
{
    std::vector<std::string> values;
    std::istringstream lines(unit);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind(name + "=", 0) != 0)
            continue;
        std::string value = line.substr(name.size() + 1);
        if (value.empty())
            values.clear();
        else
            values.push_back(value);
    }
    return values;
}

bool unit_allowed_calls(const std::string &unit, std::set<std::string> *allowed)
{
    std::set<std::string> allow, deny;
    bool any_allow = false;
    for (const std::string &value : unit_values(unit, "SystemCallFilter")) {
        bool denying = value[0] == '~';
        for (const std::string &item : words_of(denying ? value.substr(1) : value)) {
            // "name:errno" sets the error of one call; the call is the name.
            std::string call = item.substr(0, item.find(':'));
            if (!expand(call, denying ? &deny : &allow))
                return false;
        }
        any_allow = any_allow || !denying;
    }
    if (!any_allow)
        return false;
    allowed->clear();
    for (const std::string &call : allow)
        if (deny.count(call) == 0)
            allowed->insert(call);
    return true;
}

std::set<std::string> strace_calls(const std::string &log)
{
    std::set<std::string> calls;
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);) {
        size_t at = line.find_first_not_of("0123456789");
        at = at == std::string::npos ? line.size() : line.find_first_not_of(' ', at);
        if (at == std::string::npos || line.compare(at, 3, "+++") == 0 ||
            line.compare(at, 3, "---") == 0)
            continue;
        if (line.compare(at, 5, "<... ") == 0)
            at += 5;
        size_t end = at;
        while (end < line.size() && (std::isalnum(static_cast<unsigned char>(line[end])) ||
                                     line[end] == '_'))
            end++;
        if (end > at && end < line.size() && (line[end] == '(' || line[end] == ' '))
            calls.insert(line.substr(at, end - at));
    }
    return calls;
}

std::vector<std::string> calls_outside(const std::set<std::string> &allowed,
                                       const std::set<std::string> &made)
{
    std::vector<std::string> outside;
    for (const std::string &call : made)
        if (allowed.count(call) == 0)
            outside.push_back(call);
    return outside;
}

std::vector<std::string> unit_setpriv(const std::string &unit, int user)
{
    std::vector<std::string> bounding = unit_values(unit, "CapabilityBoundingSet");
    std::string ambient = caps_of(unit_values(unit, "AmbientCapabilities"));
    std::vector<std::string> words = {"/usr/bin/setpriv"};
    if (!bounding.empty())
        words.push_back("--bounding-set=-all" + caps_of(bounding));
    if (!ambient.empty()) {
        words.push_back("--inh-caps=-all" + ambient);
        words.push_back("--ambient-caps=-all" + ambient);
    }
    if (user >= 0) {
        words.push_back("--reuid=" + std::to_string(user));
        words.push_back("--regid=" + std::to_string(user));
        words.push_back("--clear-groups");
    }
    if (!unit_values(unit, "NoNewPrivileges").empty())
        words.push_back("--no-new-privs");
    words.push_back("--");
    return words;
}

std::vector<std::string> strace_words(const std::string &log)
{
    return {"/usr/bin/strace", "-f", "-qq", "-e", "signal=none", "-o", log, "--"};
}
