#include "recording_run.h"

#include "linkfan_run.h"
#include "linkfan_shell.h"

#include <poll.h>

std::vector<std::string> recorded_commands;
std::vector<unsigned long> recorded_pauses;
std::function<void()> pause_hook;

void recording_reset()
{
    linkfan_shell_settle();
    recorded_commands.clear();
    recorded_pauses.clear();
    pause_hook = nullptr;
}

void linkfan_run(const char *line)
{
    recorded_commands.emplace_back(line);
    linkfan_shell_run(line);
}

int linkfan_read(const char *line, int (*on_line)(const char *text, void *ctx), void *ctx)
{
    recorded_commands.emplace_back(std::string("< ") + line);
    return linkfan_shell_read(line, on_line, ctx);
}

void linkfan_settle(void)
{
    linkfan_shell_settle();
}

void linkfan_pause(unsigned long usec)
{
    linkfan_shell_settle();
    recorded_pauses.push_back(usec);
    if (pause_hook)
        pause_hook();
}

unsigned long linkfan_wait(int fd, unsigned long usec)
{
    linkfan_pause(usec);
    // No time passes here: news that is waiting wakes at once, with all of
    // the time left.
    struct pollfd watch = {fd, POLLIN, 0};
    return fd >= 0 && poll(&watch, 1, 0) > 0 ? usec : 0;
}

unsigned long linkfan_poll(struct pollfd *fds, int count, unsigned long usec)
{
    linkfan_pause(usec);
    return count > 0 && poll(fds, static_cast<nfds_t>(count), 0) > 0 ? usec : 0;
}
