#include "ddns_standin.h"

#include <signal.h>
#include <unistd.h>

#include <jansson.h>

#include <chrono>
#include <cstdio>
#include <sstream>
#include <thread>

#include "sandbox.h"

namespace {

constexpr char kHosts[] =
    "127.0.0.1 localhost\n"
    "127.0.0.1 dnsapi.cn members.3322.org icanhazip.com api.ipify.org ipinfo.io ifconfig.co\n"
    "::1 api6.ipify.org ipv6.icanhazip.com\n";

std::string member(json_t *object, const char *key)
{
    json_t *value = json_object_get(object, key);
    if (json_is_string(value))
        return json_string_value(value);
    if (json_is_integer(value))
        return std::to_string(json_integer_value(value));
    return "";
}

// Writes the world's files and enters the box's namespaces, with hosts over
// /etc/hosts.
int enter_box(ddns_world &w, const std::string &records, const std::string &control,
              const std::string &hosts)
{
    if (w.dir.path.empty() || !sandbox_write_file(w.dir / "hosts", hosts) ||
        !sandbox_write_file(w.dir / "records.json", records) ||
        !sandbox_write_file(w.dir / "control.json", control))
        return -1;
    if (sandbox_enter(true) != 0 ||
        sandbox_bind((w.dir / "hosts").c_str(), "/etc/hosts", true) != 0)
        return -1;
    return 0;
}

// Waits until the stand-in listens.
int wait_ready(ddns_world &w)
{
    std::string ready = w.dir / "ready";
    bool started = ddns_world_wait(
        [&] { return access(ready.c_str(), F_OK) == 0 || child_ended(&w.standin, nullptr); }, 20);
    if (!started || access(ready.c_str(), F_OK) != 0) {
        std::fprintf(stderr, "ddns_world: stand-in did not start:\n%s\n",
                     ddns_world_file(w, "standin.err").c_str());
        return -1;
    }
    return 0;
}

// ppp0's addresses, as the carrier's side of a PPP session hands them out.
int address_ppp0(const std::string &address, const std::string &address6)
{
    std::string cmd = "ip link set ppp0 up && ip addr add " + address + "/32 peer " +
                      kCarrierAddress + "/32 dev ppp0";
    if (!address6.empty())
        cmd += " && ip -6 addr add " + address6 + "/64 dev ppp0 nodad";
    return sandbox_sh(cmd) == 0 ? 0 : -1;
}

// A new veth pair, its far end wan0 moved into the carrier's namespace and
// given the carrier's address and a route back to any box address.
int make_link(const ddns_world &w, const std::string &address, const std::string &address6)
{
    std::string far = std::to_string(w.standin.pid);
    if (sandbox_sh("ip link add ppp0 type veth peer name wan0 netns " + far) != 0 ||
        ddns_world_carrier_sh(w, std::string("ip link set lo up && ip link set wan0 up && "
                                             "ip addr add ") +
                                     kCarrierAddress + "/32 dev wan0 && "
                                     "ip route add 198.51.100.0/24 dev wan0 && "
                                     "ip route add 192.0.2.0/24 dev wan0") != 0)
        return -1;
    return address_ppp0(address, address6);
}

} // namespace

int ddns_world_enter(ddns_world &w, const std::string &records, const std::string &control)
{
    if (enter_box(w, records, control, kHosts) != 0 ||
        !ddns_world_start(w, &w.standin,
                          {"/usr/bin/python3", KIVO_STANDIN_TOOL, "--state", w.dir.path,
                           "--listen6", "::1"},
                          "standin.out", "standin.err"))
        return -1;
    return wait_ready(w);
}

int ddns_world_enter_uplink(ddns_world &w, const std::string &records, const std::string &control,
                            const std::string &address, const std::string &address6)
{
    std::string hosts = std::string("127.0.0.1 localhost\n") + kCarrierAddress +
                        " dnsapi.cn members.3322.org icanhazip.com api.ipify.org ipinfo.io "
                        "ifconfig.co\n";
    // unshare execs the stand-in in the new namespace: the child's pid is the
    // stand-in's, and names that namespace.
    if (enter_box(w, records, control, hosts) != 0 ||
        !ddns_world_start(w, &w.standin,
                          {"/usr/bin/unshare", "--net", "--", "/usr/bin/python3",
                           KIVO_STANDIN_TOOL, "--state", w.dir.path, "--listen", "0.0.0.0"},
                          "standin.out", "standin.err") ||
        wait_ready(w) != 0)
        return -1;
    return make_link(w, address, address6);
}

int ddns_world_carrier_sh(const ddns_world &w, const std::string &cmd)
{
    return sandbox_sh("nsenter --target " + std::to_string(w.standin.pid) + " --net -- sh -c '" +
                      cmd + "'");
}

int ddns_world_uplink_address(const ddns_world &w, const std::string &address,
                              const std::string &address6, bool redial)
{
    if (redial)
        return sandbox_sh("ip link del ppp0") == 0 ? make_link(w, address, address6) : -1;
    return sandbox_sh("ip addr flush dev ppp0 scope global") == 0 ? address_ppp0(address, address6)
                                                                   : -1;
}

int ddns_world_uplink_refresh(const std::string &address, const std::string &address6)
{
    std::string cmd = "ip addr change " + address + "/32 peer " + kCarrierAddress +
                      "/32 dev ppp0 valid_lft 3600 preferred_lft 3600";
    if (!address6.empty())
        cmd += " && ip -6 addr change " + address6 + "/64 dev ppp0 valid_lft 3600 preferred_lft 1800";
    return sandbox_sh(cmd) == 0 ? 0 : -1;
}

void ddns_world_leave(ddns_world &w)
{
    ddns_world_stop(&w.standin);
}

void ddns_world_control(const ddns_world &w, const std::string &control)
{
    std::string tmp = w.dir / "control.json.tmp";
    sandbox_write_file(tmp, control);
    std::rename(tmp.c_str(), (w.dir / "control.json").c_str());
}

std::vector<ddns_request> ddns_world_requests(const ddns_world &w, const std::string &host)
{
    std::vector<ddns_request> out;
    std::istringstream lines(ddns_world_file(w, "requests.log"));
    std::string line;
    while (std::getline(lines, line)) {
        json_error_t error;
        json_t *entry = json_loads(line.c_str(), 0, &error);
        if (entry == nullptr)
            continue; // a line still being written
        ddns_request r{member(entry, "scheme"),       member(entry, "host"),
                       member(entry, "method"),       member(entry, "path"),
                       member(entry, "user_agent"),   member(entry, "content_type"),
                       member(entry, "body"),         member(entry, "answer")};
        json_decref(entry);
        if (host.empty() || r.host == host)
            out.push_back(r);
    }
    return out;
}

std::string ddns_world_file(const ddns_world &w, const std::string &name)
{
    return sandbox_read_file(w.dir / name);
}

bool ddns_world_start(const ddns_world &w, child_process *proc,
                      const std::vector<std::string> &argv, const std::string &out_name,
                      const std::string &err_name)
{
    proc->output_path = w.dir / out_name;
    proc->errors_path = w.dir / err_name;
    return child_start(proc, argv);
}

int ddns_world_stop(child_process *proc)
{
    return child_stop(proc, SIGTERM, 5000);
}

bool ddns_world_wait(const std::function<bool()> &done, double seconds)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    for (;;) {
        if (done())
            return true;
        if (std::chrono::steady_clock::now() >= end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}
