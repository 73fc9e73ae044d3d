// Scenes for kivo_linkfan tests: a fresh network and mount namespace with a
// private /etc/iproute2 and working directory, and links that look like PPPoE
// ones (point-to-point tun devices named pppN).
#pragma once

#include "temp_dir.h"

#include <string>
#include <vector>

// Both folders go with the scene, and with them whatever a test bound over
// /etc/iproute2 or the working directory in the scene's namespace.
struct linkfan_scene {
    temp_dir etc_dir{"linkfan-etc"};    // bound over /etc/iproute2
    temp_dir work_dir{"linkfan-work"};  // the tool's working directory
    bool entered = false;               // the namespaces are the scene's own

    linkfan_scene() = default;
    linkfan_scene(const linkfan_scene &) = delete;
    linkfan_scene &operator=(const linkfan_scene &) = delete;
    ~linkfan_scene();
};

// Enters fresh namespaces, binds the scene's folder, holding rt_tables_text (no
// file when null), over /etc/iproute2 and enters its working directory. 0 or -1.
int scene_enter(linkfan_scene *scene, const char *rt_tables_text);

// Adds pppN with, with ipv4, 10.0.N.2 peer 10.0.N.1 and, with ipv6,
// 2001:db8:N::2/64 and the link-local pair pppd gives a link, fe80::2 peer
// fe80::1. The device has no carrier, so the kernel gives it no link-local
// address of its own.
int scene_add_link(unsigned n, bool ipv6 = true, bool ipv4 = true);

// The shell commands that give an existing pppN what scene_add_link gives it
// and bring it up.
std::string scene_address_link(unsigned n, bool ipv6, bool ipv4 = true);

// Adds ppp0 to ppp(count-1) as scene_add_link does, in one batch; link N has
// the families that the Nth letter of families names ('4', '6' or 'd' for
// both), both when there is none.
int scene_add_links(unsigned count, const char *families = "");

// The mixed box: ppp0 with both families, ppp1 IPv4 only, ppp2 IPv6 only and
// ppp3 IPv4 with a link-local IPv6 address only; then runs the shell commands
// then (after " && ") when there are any.
int scene_add_mixed_box(const std::string &then = "");

// The help the program prints when it was started as program.
std::string scene_usage(const std::string &program);

// Links the recording shim into dir (made when missing) under each tool's name
// and returns the environment that sends those tools to it: each command is
// logged to dir/commands and each process it starts to dir/calls before the
// real tool runs. Empty when the links could not be made.
std::vector<std::string> scene_shim_tools(const std::string &dir,
                                          const std::vector<std::string> &tools);

// Whether text holds part.
inline bool has(const std::string &text, const std::string &part)
{
    return text.find(part) != std::string::npos;
}

// The addresses scene_add_link gives link N.
std::string scene_ipv4(unsigned n);
std::string scene_peer(unsigned n);
std::string scene_ipv6(unsigned n);  // with "/64"
extern const char scene_ipv6_peer[];  // every link's peer, its IPv6 gateway

// The commands the tool runs to configure link N (per-link policy routing)
// with both families.
std::vector<std::string> expected_link_commands(unsigned n);

// The IPv6 default route over the given links.
std::string expected_ipv6_route(const std::vector<unsigned> &links);

// The rebuild of the default routes in multipath mode over links 0..count-1,
// all of them full links.
std::vector<std::string> expected_multipath_rebuild(unsigned count);

// The lines of a file of tests/golden.
std::vector<std::string> scene_golden(const char *file);

// Every command of the first two cycles of a -m run over ppp0 and ppp1 with
// both families: the option's sysctls, then the recorded ones, "< " before a
// command whose output the tool reads.
std::vector<std::string> expected_two_link_multipath_run();

// Records of the run log without their time and level prefix.
std::vector<std::string> scene_log_messages(const std::string &log_text);

// The rt_tables header that the tool writes before the link lines.
extern const char scene_rt_tables_head[];
