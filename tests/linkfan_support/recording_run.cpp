#include "recording_run.h"

#include "linkfan_run.h"

#include <cstdlib>

std::vector<std::string> recorded_commands;
std::vector<unsigned long> recorded_pauses;
std::function<void()> pause_hook;

void recording_reset()
{
    recorded_commands.clear();
    recorded_pauses.clear();
    pause_hook = nullptr;
}

void linkfan_run(const char *line)
{
    recorded_commands.emplace_back(line);
    int status = std::system(line);
    (void)status;
}

int linkfan_read(const char *line, int (*on_line)(const char *text, void *ctx), void *ctx)
{
    recorded_commands.emplace_back(std::string("< ") + line);
    FILE *out = popen(line, "r");
    if (!out)
        return 0;
    int found = 0;
    char text[1024];
    while (!found && std::fgets(text, sizeof text, out))
        found = on_line(text, ctx);
    pclose(out);
    return found;
}

void linkfan_pause(unsigned long usec)
{
    recorded_pauses.push_back(usec);
    if (pause_hook)
        pause_hook();
}
