// What the tool tells of its state: the status and the metrics files.
#include "linkfan_publish.h"
#include "linkfan_metrics.h"
#include "linkfan_status.h"
#include "linkfan_track.h"

void linkfan_publish(linkfan_state *state, long long now)
{
    state->track.changed = 0;
    if (linkfan_tracking(*state))
        linkfan_status_write(*state, now);
    if (state->metrics.path[0])
        linkfan_metrics_write(*state, &state->metrics, now);
}
