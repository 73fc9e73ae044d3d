// The last report: a process that ends through exit or a return from main
// sends what it counted since the agent last took a report, once, within
// 250 ms. _exit, exec and a fatal signal run no destructor, so they send nothing.
#include "kivo_traffic_internal.h"

namespace {

constexpr int exit_report_deadline_ms = 250;

} // namespace

__attribute__((destructor)) static void traffic_exit_report(void)
{
    int saved = errno;
    // Only a process that has its own report thread reports: not a vfork child
    // exiting in its parent's memory, nor a raw clone that kept the parent's id.
    pid_t self = getpid();
    if (self == traffic_self_pid_load() && traffic_pid_load() == self)
        traffic_report_last(exit_report_deadline_ms);
    errno = saved;
}
