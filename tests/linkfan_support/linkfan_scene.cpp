#include "linkfan_scene.h"

#include "sandbox.h"

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>

const char scene_rt_tables_head[] = "# reserved values\n255\tlocal\n254\tmain\n253\tdefault\n"
                                    "0\tunspec\n# local\n#1\tinr.ruhep\n";

linkfan_scene::~linkfan_scene()
{
    // A folder that is a mount point, or under one that is read-only, cannot
    // be removed; only in the scene's own mount namespace is any of it undone.
    if (!entered)
        return;
    while (umount2("/etc/iproute2", MNT_DETACH) == 0) {
    }
    while (umount2(work_dir.path.c_str(), MNT_DETACH) == 0) {
    }
}

int scene_enter(linkfan_scene *scene, const char *rt_tables_text)
{
    if (sandbox_enter(true) != 0)
        return -1;
    scene->entered = true;
    if (scene->etc_dir.path.empty() || scene->work_dir.path.empty())
        return -1;
    if (rt_tables_text)
        sandbox_write_file(scene->etc_dir / "rt_tables", rt_tables_text);
    if (sandbox_bind(scene->etc_dir.path.c_str(), "/etc/iproute2") != 0)
        return -1;
    return chdir(scene->work_dir.path.c_str());
}

std::string scene_ipv4(unsigned n) { return "10.0." + std::to_string(n) + ".2"; }
std::string scene_peer(unsigned n) { return "10.0." + std::to_string(n) + ".1"; }
std::string scene_ipv6(unsigned n)
{
    return n == 0 ? "2001:db8::2/64" : "2001:db8:" + std::to_string(n) + "::2/64";
}

const char scene_ipv6_peer[] = "fe80::1";

std::string scene_address_link(unsigned n, bool ipv6, bool ipv4)
{
    std::string dev = "ppp" + std::to_string(n);
    std::string cmd = "true";
    if (ipv4)
        cmd += " && ip addr add " + scene_ipv4(n) + " peer " + scene_peer(n) + " dev " + dev;
    if (ipv6)
        cmd += " && ip -6 addr add " + scene_ipv6(n) + " dev " + dev + " nodad && ip -6 addr add " +
               "fe80::2 peer " + scene_ipv6_peer + " dev " + dev + " nodad";
    else
        cmd += " && sysctl -qw net.ipv6.conf." + dev + ".disable_ipv6=1";
    return cmd + " && ip link set " + dev + " up";
}

int scene_add_link(unsigned n, bool ipv6, bool ipv4)
{
    std::string cmd = "ip tuntap add dev ppp" + std::to_string(n) + " mode tun && ";
    return sandbox_sh(cmd + scene_address_link(n, ipv6, ipv4)) == 0 ? 0 : -1;
}

int scene_add_links(unsigned count, const char *families)
{
    // One ip process for all of them: 128 links take a moment, not minutes.
    std::string batch;
    const size_t named = std::strlen(families);
    for (unsigned n = 0; n < count; n++) {
        std::string dev = "ppp" + std::to_string(n);
        const char family = n < named ? families[n] : 'd';
        batch += "tuntap add dev " + dev + " mode tun\n";
        if (family != '6')
            batch += "addr add " + scene_ipv4(n) + " peer " + scene_peer(n) + " dev " + dev + "\n";
        if (family != '4') {
            batch += "addr add " + scene_ipv6(n) + " dev " + dev + " nodad\n";
            batch += "addr add fe80::2 peer " + std::string(scene_ipv6_peer) + " dev " + dev +
                     " nodad\n";
        }
        batch += "link set " + dev + " up\n";
    }
    temp_dir dir("linkfan-links");
    if (dir.path.empty())
        return -1;
    sandbox_write_file(dir / "batch", batch);
    return sandbox_sh("ip -batch " + dir / "batch") == 0 ? 0 : -1;
}

int scene_add_mixed_box(const std::string &then)
{
    if (scene_add_link(0) != 0 || scene_add_link(1, false) != 0 || scene_add_link(2, true, false) != 0)
        return -1;
    std::string cmd = "ip tuntap add dev ppp3 mode tun && "
                      "ip addr add 10.0.3.2 peer 10.0.3.1 dev ppp3 && "
                      "ip -6 addr add fe80::3/64 dev ppp3 nodad && ip link set ppp3 up";
    return sandbox_sh(then.empty() ? cmd : cmd + " && " + then) == 0 ? 0 : -1;
}

std::string scene_usage(const std::string &program)
{
    return "Usage: " + program +
           " [options] \n\nOptions:\n"
           "  -h, --help               Print this help and exit\n"
           "  -d, --debug              debug mode\n"
           "  -m, --multipath-routing  enable multipath routing\n"
           "  -t, --track=LIST         track link health, LIST: up to 4 IPv4 and 4 IPv6 "
           "addresses, comma-separated\n"
           "      --metrics=FILE       write metrics for node_exporter's textfile collector to "
           "FILE\n"
           "  example: ./kivo_linkfan -d -m\n";
}

std::vector<std::string> scene_shim_tools(const std::string &dir,
                                          const std::vector<std::string> &tools)
{
    if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST)
        return {};
    for (const std::string &tool : tools)
        if (symlink(LINKFAN_SHIM, (dir + "/" + tool).c_str()) != 0)
            return {};
    const char *path = std::getenv("PATH");
    std::string real_path = path ? path : "/usr/sbin:/usr/bin:/sbin:/bin";
    return {"PATH=" + dir + ":" + real_path, "LINKFAN_REAL_PATH=" + real_path,
            "LINKFAN_SHIM_LOG=" + dir + "/commands", "LINKFAN_SHIM_CALLS=" + dir + "/calls"};
}

std::vector<std::string> expected_link_commands(unsigned n)
{
    std::string dev = "ppp" + std::to_string(n);
    std::vector<std::string> cmds = {
        "ip route flush table " + dev,
        "ip route add 0/0 dev " + dev + " table " + dev,
        "ip rule del table " + dev,
        "ip rule add from " + scene_ipv4(n) + " table " + dev + " priority 1000",
        "ip link set dev " + dev + " txqueuelen 1000",
        "ip -6 route add default dev " + dev + " table " + dev,
    };
    for (int k = 0; k < 4; k++)
        cmds.push_back("ip -6 rule del table " + dev);
    cmds.push_back("ip -6 rule add from " + scene_ipv6(n) + " table " + dev + " pref 200");
    cmds.push_back("ip -6 rule add to " + scene_ipv6(n) + " lookup " + dev + " pref 200");
    return cmds;
}

std::string expected_ipv6_route(const std::vector<unsigned> &links)
{
    std::string route = "ip -6 route replace default metric 512 ";
    for (unsigned n : links)
        route += "nexthop via " + std::string(scene_ipv6_peer) + " dev ppp" + std::to_string(n) +
                 " weight 1 ";
    return route;
}

std::vector<std::string> expected_multipath_rebuild(unsigned count)
{
    std::vector<std::string> cmds;
    std::string balance = "ip route replace table balance default ";
    for (unsigned n = 0; n < count; n++) {
        std::string dev = "ppp" + std::to_string(n);
        cmds.push_back("iptables -t nat -D POSTROUTING -o " + dev + " -j MASQUERADE");
        cmds.push_back("iptables -t nat -I POSTROUTING -o " + dev + " -j MASQUERADE");
        balance += "nexthop via " + scene_peer(n) + " dev " + dev + " weight 1 ";
    }
    cmds.push_back("ip route del default");
    cmds.push_back("ip route replace default via " + scene_peer(0) + " dev ppp0");
    cmds.push_back("ip route del table balance default");
    cmds.push_back(balance);
    cmds.push_back("ip rule del priority 100");
    cmds.push_back("ip rule add from " + scene_ipv4(0) +
                   " dport 1-1023 ipproto tcp table balance priority 100");
    cmds.push_back("ip route flush cache");
    cmds.push_back("ip route flush cache table balance");
    return cmds;
}

std::vector<std::string> scene_golden(const char *file)
{
    std::vector<std::string> rows;
    std::istringstream in(sandbox_read_file(std::string(LINKFAN_GOLDEN_DIR "/") + file));
    for (std::string row; std::getline(in, row);)
        rows.push_back(row);
    return rows;
}

std::vector<std::string> expected_two_link_multipath_run()
{
    std::vector<std::string> cmds = {"sysctl -w net.ipv4.fib_multipath_hash_policy=1",
                                     "sysctl -w net.ipv4.fib_multipath_use_neigh=1",
                                     "sysctl -w net.ipv6.fib_multipath_hash_policy=1"};
    for (const std::string &row : scene_golden("linkfan_2_links_multipath.txt"))
        if (row != "# cycle 2")
            cmds.push_back(row);
    return cmds;
}

std::vector<std::string> scene_log_messages(const std::string &log_text)
{
    // A record starts with "YYYY-MM-DD HH:MM:SS.uuuuuu [TAG]: "; some messages
    // end in an empty line, which stays with the record before it.
    std::vector<std::string> out;
    std::istringstream in(log_text);
    std::string row;
    while (std::getline(in, row)) {
        size_t colon = row.find("]: ");
        bool is_record = row.size() > 27 && row[4] == '-' && row[19] == '.' && row[26] == ' ' &&
                         colon != std::string::npos;
        if (is_record)
            out.push_back(row.substr(27));
        else if (!out.empty())
            out.back() += "\n" + row;
    }
    return out;
}
