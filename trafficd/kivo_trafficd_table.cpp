// The processes kivo_trafficd reports: learned from the kernel's events, kept
// until their last bytes were accepted after they ended.
#include "kivo_trafficd.h"

#include <bpf/bpf.h>
#include <ctype.h>
#include <dirent.h>
#include <stdlib.h>
#include <string.h>

trafficd_table_info trafficd_table;

// The one library whose processes the daemon leaves alone.
static bool preload_names_library(const char *preload)
{
    return preload && strstr(preload, "libkivotraffic") != nullptr;
}

trafficd_process *trafficd_table_find(unsigned int tgid, unsigned long long start)
{
    for (int i = 0; i < trafficd_table.count; i++) {
        trafficd_process *proc = &trafficd_table.records[i];
        if (proc->tgid == tgid && proc->start == start)
            return proc;
    }
    return nullptr;
}

void trafficd_table_watch(const trafficd_process *proc, const char *cp)
{
    trafficd_watch watch = {};
    watch.start = proc->start;
    trafficd_copy(watch.cp, sizeof watch.cp, cp);
    unsigned int tgid = proc->tgid;
    if (bpf_map_update_elem(trafficd_run.watched_fd, &tgid, &watch, BPF_ANY) != 0) {
        trafficd_table.watched_full++;
        trafficd_log("the kernel's table of watched processes is full; pid %u is not counted",
                     tgid);
    }
}

void trafficd_table_mark(const trafficd_process *proc)
{
    trafficd_key key = {proc->tgid, TRAFFICD_LINK_OTHER, proc->start};
    trafficd_mark mark = {};
    trafficd_copy(mark.name, sizeof mark.name, proc->name);
    mark.accepted_sent = proc->accepted_sent;
    mark.accepted_received = proc->accepted_received;
    if (proc->owner == trafficd_own)
        bpf_map_update_elem(trafficd_run.marks_fd, &key, &mark, BPF_ANY);
}

// Removes a process from the kernel's maps; its watched entry only while it is still its own.
static void table_unwatch(const trafficd_process *proc, bool totals)
{
    unsigned int tgid = proc->tgid;
    trafficd_key mark_key = {proc->tgid, TRAFFICD_LINK_OTHER, proc->start};
    if (totals)
        bpf_map_delete_elem(trafficd_run.marks_fd, &mark_key);
    trafficd_watch watch;
    if (bpf_map_lookup_elem(trafficd_run.watched_fd, &tgid, &watch) == 0 &&
        watch.start == proc->start && bpf_map_delete_elem(trafficd_run.watched_fd, &tgid) == 0)
        trafficd_kernel_unwatched();
    // Every link it may have counted over.
    for (int link = 0; totals && link < TRAFFICD_LINKS; link++) {
        if (!trafficd_links.used[link])
            continue;
        trafficd_key key = {proc->tgid, static_cast<unsigned int>(link), proc->start};
        bpf_map_delete_elem(trafficd_run.totals_fd, &key);
    }
}

// The process's totals over a link as the kernel holds them, summed over the
// CPUs; false when it has counted nothing there.
static bool table_totals(const trafficd_process *proc, unsigned int link,
                         unsigned long long *sent, unsigned long long *received)
{
    *sent = 0;
    *received = 0;
    static trafficd_total per_cpu[1024];
    if (trafficd_run.cpus <= 0 || trafficd_run.cpus > 1024)
        return false;
    trafficd_key key = {proc->tgid, link, proc->start};
    if (bpf_map_lookup_elem(trafficd_run.totals_fd, &key, per_cpu) != 0)
        return false;
    for (int cpu = 0; cpu < trafficd_run.cpus; cpu++) {
        *sent += per_cpu[cpu].sent;
        *received += per_cpu[cpu].received;
    }
    return true;
}

// Takes the process's totals; what they grew by since the last read goes to
// its name, per link (not for a baseline).
static void table_fold_one(trafficd_process *proc, bool baseline = false)
{
    long long sent = 0, received = 0;
    for (int i = 0; i < TRAFFICD_LINKS; i++) {
        if (!trafficd_links.used[i])
            continue;
        unsigned int link = static_cast<unsigned int>(i);
        unsigned long long now_sent, now_received;
        // Totals only grow while their entry lives, and the entry goes only
        // with the record or with a reset of what was counted.
        if (table_totals(proc, link, &now_sent, &now_received) &&
            now_sent >= proc->link_sent[link] && now_received >= proc->link_received[link]) {
            if (!baseline)
                trafficd_metrics_count(proc->name_index, link, now_sent - proc->link_sent[link],
                                       now_received - proc->link_received[link]);
            proc->link_sent[link] = now_sent;
            proc->link_received[link] = now_received;
        }
        sent += static_cast<long long>(proc->link_sent[link]);
        received += static_cast<long long>(proc->link_received[link]);
    }
    proc->counted_sent = sent;
    proc->counted_received = received;
}

// The library's process: it reports itself; nothing of it is reported here.
// Its totals so far stay in its name's sums; they leave the kernel with it,
// so what the agent accepted starts again from zero.
static void table_leave_to_library(trafficd_process *proc)
{
    if (proc->owner == trafficd_library)
        return;
    table_fold_one(proc);
    proc->owner = trafficd_library;
    table_unwatch(proc, true);
    proc->counted_sent = proc->counted_received = 0;
    memset(proc->link_sent, 0, sizeof proc->link_sent);
    memset(proc->link_received, 0, sizeof proc->link_received);
    proc->accepted_sent = proc->accepted_received = 0;
    trafficd_note("pid %u carries libkivotraffic; the library reports it", proc->tgid);
}

// A process's name, kept apart from the bytes counted under the name before.
static void table_name(trafficd_process *proc, const char *name)
{
    bool renamed = strcmp(proc->name, name) != 0;
    if (proc->name[0] != '\0' && renamed && proc->owner == trafficd_own)
        table_fold_one(proc);
    trafficd_copy(proc->name, sizeof proc->name, name);
    proc->name_index = trafficd_name_index(proc->name);
    if (renamed)
        trafficd_table_mark(proc);
}

// A process the full table cannot take: the kernel stops counting it, and
// it is not found again.
static void table_refuse(unsigned int tgid, unsigned long long start)
{
    trafficd_process gone = {};
    gone.tgid = tgid;
    gone.start = start;
    table_unwatch(&gone, true);
}

trafficd_process *trafficd_table_add(unsigned int tgid, unsigned long long start,
                                     const char *cp, const char *preload)
{
    trafficd_process *proc = trafficd_table_find(tgid, start);
    if (!proc) {
        if (trafficd_table.count >= TRAFFICD_MAX_PROCESSES) {
            if (trafficd_table.full++ == 0)
                trafficd_log("more than %d processes to report; pid %u and later ones are not",
                             TRAFFICD_MAX_PROCESSES, tgid);
            return nullptr;
        }
        proc = &trafficd_table.records[trafficd_table.count++];
        memset(proc, 0, sizeof *proc);
        proc->tgid = tgid;
        proc->start = start;
        trafficd_note("pid %u: KIVO_CP=%s", tgid, cp);
    }
    table_name(proc, trafficd_cp_name(cp));
    proc->preload_hint = preload_names_library(preload);
    return proc;
}

void trafficd_table_forget(trafficd_process *proc)
{
    table_unwatch(proc, true);
    int index = static_cast<int>(proc - trafficd_table.records);
    trafficd_table.records[index] = trafficd_table.records[--trafficd_table.count];
}

// A process that asks for the library in "LD_PRELOAD" and runs through the
// dynamic loader gets it before its first instruction; whether it really
// holds it is checked again at every cycle while it lives.
static void table_decide_owner(trafficd_process *proc)
{
    int has = trafficd_proc_has_library(proc->tgid);
    if (has == 1 || (proc->preload_hint && trafficd_proc_is_dynamic(proc->tgid) != 0))
        table_leave_to_library(proc);
}

static void table_exec(const trafficd_event *event)
{
    trafficd_process *proc = trafficd_table_add(event->tgid, event->start, event->cp,
                                                event->preload);
    if (!proc) {
        table_refuse(event->tgid, event->start);
        return;
    }
    // A new image may leave the library behind, or load it; a process that
    // ran a program without KIVO_CP in between is counted again.
    proc->owner = trafficd_own;
    proc->ended = false;
    table_decide_owner(proc);
}

static void table_look(const trafficd_event *event)
{
    char cp[TRAFFICD_CP_SIZE];
    char preload[TRAFFICD_PRELOAD_SIZE];
    if (!trafficd_proc_environ(event->tgid, cp, sizeof cp, preload, sizeof preload))
        return;
    if (trafficd_proc_start(event->tgid) != event->start)
        return;
    trafficd_process *proc = trafficd_table_add(event->tgid, event->start, cp, preload);
    if (!proc)
        return;
    trafficd_table_watch(proc, cp);
    table_decide_owner(proc);
}

static void table_fork(const trafficd_event *event)
{
    trafficd_process *parent = trafficd_table_find(event->parent_tgid, event->parent_start);
    trafficd_process *proc = trafficd_table_add(event->tgid, event->start, event->cp, nullptr);
    if (!proc) {
        table_refuse(event->tgid, event->start);
        return;
    }
    // A fork child shares its parent's library and its parent's name.
    if (parent) {
        table_name(proc, parent->name);
        proc->preload_hint = parent->preload_hint;
        if (parent->owner == trafficd_library)
            table_leave_to_library(proc);
    }
}

void trafficd_table_event(const trafficd_event *event)
{
    switch (event->type) {
    case TRAFFICD_EVENT_EXEC:
        table_exec(event);
        break;
    case TRAFFICD_EVENT_LOOK:
        table_look(event);
        break;
    case TRAFFICD_EVENT_FORK:
        table_fork(event);
        break;
    case TRAFFICD_EVENT_EXIT:
    case TRAFFICD_EVENT_UNWATCH: {
        trafficd_process *proc = trafficd_table_find(event->tgid, event->start);
        if (!proc)
            break;
        if (event->type == TRAFFICD_EVENT_EXIT) {
            proc->ended = true;
            trafficd_note("pid %u ended", proc->tgid);
        } else {
            // Its counted bytes still go out; it counts no more and is reported no more.
            proc->ended = true;
            trafficd_note("pid %u runs a program without KIVO_CP", proc->tgid);
        }
        break;
    }
    default:
        break;
    }
}

void trafficd_table_sync(void)
{
    unsigned int key = 0;
    unsigned int next;
    bool first = true;
    // A process the table refuses is unwatched once the walk is past it (a
    // walk from a key that is gone starts over), so it is counted once.
    unsigned int refused_tgid = 0;
    unsigned long long refused_start = 0;
    while (bpf_map_get_next_key(trafficd_run.watched_fd, first ? nullptr : &key, &next) == 0) {
        first = false;
        key = next;
        if (refused_tgid != 0)
            table_refuse(refused_tgid, refused_start);
        refused_tgid = 0;
        trafficd_watch watch;
        if (bpf_map_lookup_elem(trafficd_run.watched_fd, &next, &watch) != 0)
            continue;
        if (trafficd_table_find(next, watch.start))
            continue;
        watch.cp[sizeof watch.cp - 1] = '\0';
        trafficd_process *proc = trafficd_table_add(next, watch.start, watch.cp, nullptr);
        if (proc) {
            table_decide_owner(proc);
        } else {
            refused_tgid = next;
            refused_start = watch.start;
        }
    }
    if (refused_tgid != 0)
        table_refuse(refused_tgid, refused_start);
}

void trafficd_table_scan_proc(void)
{
    unsigned int own_netns = trafficd_proc_netns(0);
    DIR *dir = opendir("/proc");
    if (!dir)
        return;
    while (struct dirent *entry = readdir(dir)) {
        if (!isdigit(static_cast<unsigned char>(entry->d_name[0])))
            continue;
        unsigned int tgid = static_cast<unsigned int>(strtoul(entry->d_name, nullptr, 10));
        if (trafficd_proc_netns(tgid) != own_netns)
            continue;
        char cp[TRAFFICD_CP_SIZE];
        char preload[TRAFFICD_PRELOAD_SIZE];
        if (!trafficd_proc_environ(tgid, cp, sizeof cp, preload, sizeof preload))
            continue;
        unsigned long long start = trafficd_proc_start(tgid);
        if (start == 0)
            continue;
        trafficd_process *proc = trafficd_table_add(tgid, start, cp, preload);
        if (!proc)
            continue;  // each one refused is counted
        trafficd_table_watch(proc, cp);
        table_decide_owner(proc);
    }
    closedir(dir);
}

void trafficd_table_review(void)
{
    for (int i = 0; i < trafficd_table.count; i++) {
        trafficd_process *proc = &trafficd_table.records[i];
        if (proc->ended)
            continue;
        // The exit event is the rule; this covers one the ring buffer dropped.
        if (trafficd_proc_start(proc->tgid) != proc->start) {
            proc->ended = true;
            continue;
        }
        int has = trafficd_proc_has_library(proc->tgid);
        if (has == 1)
            table_leave_to_library(proc);
        else if (has == 0 && proc->owner == trafficd_library && proc->preload_hint) {
            // Asked for the library but the loader did not load it: counted here.
            proc->owner = trafficd_own;
            trafficd_table_watch(proc, proc->name);
        }
    }
}

int trafficd_table_take_over(void)
{
    // The keys first: marking a process writes its entry anew, at the head of
    // its bucket, where a walk of the map meets it again (for ever, once two
    // entries share a bucket).
    static trafficd_key marked[TRAFFICD_MAX_PROCESSES];
    int count = 0;
    trafficd_key key{}, next;
    for (bool first = true; count < TRAFFICD_MAX_PROCESSES &&
                            bpf_map_get_next_key(trafficd_run.marks_fd, first ? nullptr : &key,
                                                 &next) == 0;
         first = false)
        marked[count++] = key = next;
    int taken = 0;
    for (int i = 0; i < count; i++) {
        trafficd_mark mark;
        if (bpf_map_lookup_elem(trafficd_run.marks_fd, &marked[i], &mark) != 0)
            continue;
        mark.name[sizeof mark.name - 1] = '\0';
        trafficd_process *proc =
            trafficd_table_add(marked[i].tgid, marked[i].start, mark.name, nullptr);
        if (!proc)
            break;
        proc->accepted_sent = mark.accepted_sent;
        proc->accepted_received = mark.accepted_received;
        table_name(proc, mark.name);
        trafficd_table_mark(proc);
        taken++;
    }
    // Links this daemon has not numbered yet may hold totals: each is read.
    for (bool first = true;
         bpf_map_get_next_key(trafficd_run.totals_fd, first ? nullptr : &key, &next) == 0;
         first = false) {
        key = next;
        if (next.link < TRAFFICD_LINKS)
            trafficd_links.used[next.link] = true;
    }
    return taken;
}

void trafficd_table_baseline(void)
{
    for (int i = 0; i < trafficd_table.count; i++)
        if (trafficd_table.records[i].owner == trafficd_own)
            table_fold_one(&trafficd_table.records[i], true);
}

void trafficd_table_fold(void)
{
    for (int i = 0; i < trafficd_table.count; i++)
        if (trafficd_table.records[i].owner == trafficd_own)
            table_fold_one(&trafficd_table.records[i]);
    trafficd_links_folded();
}
