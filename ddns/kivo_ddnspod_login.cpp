// Rationing of DNSPod logins per token: DNSPod bars an account after 30 failed
// logins in 5 minutes, which a refused token sent every pass reaches in
// seconds at a short interval.
#include "kivo_ddnspod.h"

#include <time.h>

#include <cstring>
#include <ctime>

#include "libkivo_log.h"
#include "libkivo_text.h"

namespace {

// What is known of one token's failed logins: the times of the last few, and
// when it may be sent again.
struct login_record {
    char token[256];
    long failed[KIVO_DDNSPOD_LOGIN_MAX]; // a ring, oldest at next
    unsigned count;                      // failures recorded, at most LOGIN_MAX
    unsigned next;
    long next_try;
};

login_record kivo_ddnspod_login_info[KIVO_DDNSPOD_LOGIN_TOKENS];

// Seconds on a clock that no change of the wall clock moves, so a clock set
// right at last neither frees a resting token early nor holds it for years.
long monotonic_seconds(void)
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long>(now.tv_sec);
}

login_record *find(const char *token)
{
    for (login_record &r : kivo_ddnspod_login_info)
        if (r.token[0] != '\0' && std::strcmp(r.token, token) == 0)
            return &r;
    return nullptr;
}

// A free record, or else the one whose rest ends first (the updater knows two
// tokens; the table has room for more).
login_record *make(const char *token)
{
    login_record *pick = &kivo_ddnspod_login_info[0];
    for (login_record &r : kivo_ddnspod_login_info) {
        if (r.token[0] == '\0') {
            pick = &r;
            break;
        }
        if (r.next_try < pick->next_try)
            pick = &r;
    }
    *pick = login_record{};
    kivo_text_copy_field(pick->token, token);
    return pick;
}

} // namespace

long (*kivo_ddnspod_clock)(void) = monotonic_seconds;

long kivo_ddnspod_login_wait(const char *token, long now)
{
    const login_record *r = find(token);
    return r != nullptr && r->next_try > now ? r->next_try - now : 0;
}

long kivo_ddnspod_login_refused(const char *token, long now)
{
    login_record *r = find(token);
    if (r == nullptr)
        r = make(token);
    r->failed[r->next] = now;
    r->next = (r->next + 1) % KIVO_DDNSPOD_LOGIN_MAX;
    if (r->count < KIVO_DDNSPOD_LOGIN_MAX)
        ++r->count;
    r->next_try = now + KIVO_DDNSPOD_LOGIN_REST;
    // With the last LOGIN_MAX failures inside the window, the next one waits
    // until the oldest of them has left it: never more in any window.
    if (r->count == KIVO_DDNSPOD_LOGIN_MAX) {
        long oldest = r->failed[r->next];
        if (oldest + KIVO_DDNSPOD_LOGIN_WINDOW + 1 > r->next_try)
            r->next_try = oldest + KIVO_DDNSPOD_LOGIN_WINDOW + 1;
    }
    return r->next_try - now;
}

void kivo_ddnspod_login_forget(void)
{
    std::memset(kivo_ddnspod_login_info, 0, sizeof kivo_ddnspod_login_info);
}

// The token shows by its id only (the part before the comma), never whole.
void kivo_ddnspod_login_note(const char *token, const char *sub_domain, const char *main_domain,
                             const char *extern_ip, long now)
{
    long rest = kivo_ddnspod_login_refused(token, now);
    time_t again = std::time(nullptr) + rest;
    char when[32] = "";
    tm local;
    if (localtime_r(&again, &local) != nullptr)
        std::strftime(when, sizeof when, "%F %T", &local);
    int id = static_cast<int>(std::strcspn(token, ","));
    if (token[id] == '\0' || id > 20)
        id = 0;
    libkivo_log_write("INFO", 1, "login refused: %s.%s --> %s, token %.*s rests %ld s, until %s\n",
                      sub_domain, main_domain, extern_ip, id, token, rest, when);
}
