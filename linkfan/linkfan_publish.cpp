// What the tool tells of its state: the status and the metrics files.
#include "linkfan_publish.h"
#include "linkfan_log.h"
#include "linkfan_metrics.h"
#include "linkfan_status.h"
#include "linkfan_track.h"

// The writer's failures and recovery, as records of the run log.
static void log_file_news(int level, const char *message)
{
    linkfan_log(level == KIVO_TEXTFILE_ERROR ? LINKFAN_LOG_ERROR : LINKFAN_LOG_INFO, "%s\n",
                message);
}

int linkfan_publish_open(linkfan_state *state, const char *metrics_path)
{
    // The status file is for operators in the working directory: the umask
    // decides its mode. node_exporter, another user, reads the metrics.
    kivo_textfile_open(&state->status, linkfan_status_name, "status", 0, 0, log_file_news);
    return kivo_textfile_open(&state->metrics.file, metrics_path, "metrics", 0644, 0,
                              log_file_news);
}

void linkfan_publish(linkfan_state *state, long long now)
{
    state->track.changed = 0;
    if (linkfan_tracking(*state))
        linkfan_status_write(*state, &state->status, now);
    linkfan_metrics_write(*state, &state->metrics, now);
}
