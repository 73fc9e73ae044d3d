// DNSPod record client: the list, create and modify requests and the choice
// between them; forms in kivo_ddnspod_form.cpp, answers read in _answer.cpp,
// refused logins rationed in _login.cpp. How the address was found: not here.
#include "kivo_ddnspod.h"

#include <cstdio>
#include <cstring>

#include "kivo_metrics.h"
#include "libkivo_curl.h"
#include "libkivo_log.h"
#include "libkivo_text.h"

namespace {

// DNSPod's API. Certificates are checked only with KIVO_TLS_VERIFY (build or
// environment), as for every request: a box with a wrong clock still updates.
constexpr char kListUrl[] = "https://dnsapi.cn/Record.List";
constexpr char kCreateUrl[] = "https://dnsapi.cn/Record.Create";
constexpr char kModifyUrl[] = "https://dnsapi.cn/Record.Modify";
constexpr const char *kHeaders[] = {
    "Content-Type: application/x-www-form-urlencoded",
    "User-Agent: kivoedge/2.0",
    nullptr,
};
constexpr unsigned kTimeoutSeconds = 20; // DNSPod answers in a second or two

// The widest record id in decimal: the modify body is never longer than with it.
constexpr int64_t kWidestRecordId = INT64_MIN;

// The last address that a list answer showed the record holding.
char old_extern_ip[KIVO_DDNSPOD_ADDRESS_SIZE] = "0.0.0.0";

// The form bodies. The operator's values are percent-encoded, so a token or name
// holding '&', '=', '+' or '%' asks for what it says; an encoding too long for
// its field gives -1, never sent. The record's type and line are
// kivo_ddnspod_record_info's.
int list_form(char *body, size_t size, const char *token, const char *sub_domain,
              const char *main_domain)
{
    kivo_ddnspod_form_values v;
    if (!kivo_ddnspod_form_encode(&v, token, sub_domain, main_domain))
        return -1;
    return std::snprintf(body, size, "login_token=%s&format=json&domain=%s&sub_domain=%s",
                         v.token, v.main_domain, v.sub_domain);
}

int create_form(char *body, size_t size, const char *token, const char *sub_domain,
                const char *main_domain, const char *extern_ip)
{
    kivo_ddnspod_form_values v;
    if (!kivo_ddnspod_form_encode(&v, token, sub_domain, main_domain))
        return -1;
    return std::snprintf(body, size,
                         "login_token=%s&format=json&domain=%s&sub_domain=%s&record_type=%s"
                         "&record_line=%s&value=%s",
                         v.token, v.main_domain, v.sub_domain, kivo_ddnspod_record_info.type,
                         v.line, extern_ip);
}

int modify_form(char *body, size_t size, const char *token, const char *sub_domain,
                const char *main_domain, const char *extern_ip, int64_t record_id)
{
    kivo_ddnspod_form_values v;
    if (!kivo_ddnspod_form_encode(&v, token, sub_domain, main_domain))
        return -1;
    return std::snprintf(body, size,
                         "login_token=%s&format=json&domain=%s&sub_domain=%s&record_type=%s"
                         "&record_line=%s&value=%s&record_id=%ld",
                         v.token, v.main_domain, v.sub_domain, kivo_ddnspod_record_info.type,
                         v.line, extern_ip, static_cast<long>(record_id));
}

// A body snprintf had to cut is never sent: it would ask for something else.
bool fits(int length)
{
    return length >= 0 && length < KIVO_DDNSPOD_BODY_SIZE;
}

// Posts the form body to url and leaves the answer (NUL-terminated, cut to the
// buffer, empty when none came) and its status in kivo_ddnspod_last_status.
int32_t post(int action, const char *url, const char *body, char *answer, int size)
{
    // The HTTP status is not looked at: the answer text tells all (empty: none).
    std::memset(answer, 0, static_cast<size_t>(size));
    kivo_curl_cmd("POST", url, nullptr, kHeaders, body, static_cast<long>(std::strlen(body)),
                  answer, size, kTimeoutSeconds);
    kivo_ddnspod_read_status(answer, &kivo_ddnspod_last_status);
    kivo_metrics_dnspod(action, kivo_ddnspod_last_status.code);
    return std::strcmp(kivo_ddnspod_last_status.code, "1") == 0; // done
}

} // namespace

int kivo_ddnspod_bodies_fit(const char *token, const char *sub_domain, const char *main_domain,
                            const char *extern_ip)
{
    // The modify body holds every field of the other two, and the id besides.
    return fits(modify_form(nullptr, 0, token, sub_domain, main_domain, extern_ip,
                            kWidestRecordId));
}

int32_t kivo_ddnspod_list(const char *token, const char *sub_domain, const char *main_domain,
                          int64_t *record_id, const char *extern_ip)
{
    char body[KIVO_DDNSPOD_BODY_SIZE];
    if (!fits(list_form(body, sizeof body, token, sub_domain, main_domain)))
        return KIVO_DDNSPOD_LIST_NONE;
    // Whole: one byte beyond the longest answer read tells a longer one.
    static char list_answer[KIVO_DDNSPOD_LIST_ANSWER_MAX + 2];
    post(KIVO_METRICS_LIST, kListUrl, body, list_answer, sizeof list_answer);
    return kivo_ddnspod_read_list_answer(list_answer, kivo_curl_body_length(), extern_ip,
                                         record_id);
}

// The decision of one pass, for the one record of kivo_ddnspod_record_info's
// type and line: the list answer names every record of sub_domain, and only
// that one is created or modified. Others of the name (an AAAA beside an A,
// an MX, the record of another carrier's line) are never taken for it, so a
// zone that holds them keeps them whatever the box's address does. The log
// texts are the same for every type and line, and each stays on its line.
// A box with several uplinks runs one instance per record.
//
// Nothing is sent for an address that is not one (the "0.0.0.0" of a discovery
// that found nothing, a bad --extern_ip), for the last confirmed address, or
// with a token that rests after a refused login: nothing logged then, and
// *result is left as it was. A request too long for its form body is not sent:
// the pass counts as unanswered. A create or modify that DNSPod refused is
// logged as an error after its INFO record, with result 0, and the next pass
// lists again. A refused login makes the token rest (kivo_ddnspod_login_note).
// The four records stay on the lines operators' filters know (161, 168, 175,
// 181); a test holds them there.
void kivo_ddnspod_register_domain_name(const char *token, const char *sub_domain,
                                       const char *main_domain, const char *extern_ip,
                                       int *result)
{
    const char *sub = sub_domain, *zone = main_domain, *ip = extern_ip;
    if (!token || !sub || !zone || !ip || !result || !kivo_ddnspod_publishable(ip) ||
        std::strcmp(ip, old_extern_ip) == 0)
        return;
    // A resting token is not sent at all; the caller, seeing no result, may try
    // its other token.
    const long now = kivo_ddnspod_clock();
    if (kivo_ddnspod_login_wait(token, now) > 0)
        return;
    kivo_ddnspod_last_status = kivo_ddnspod_status{};
    int64_t id = 0;
    int32_t code = KIVO_DDNSPOD_LIST_NONE;
    if (kivo_ddnspod_bodies_fit(token, sub, zone, ip))
        code = kivo_ddnspod_list(token, sub, zone, &id, ip);
    else
        std::fprintf(stderr, "kivo_ddnspod: request for %s.%s longer than %d bytes, not sent\n",
                     sub, zone, KIVO_DDNSPOD_BODY_SIZE - 1);

    int32_t done = 1;
    switch (code) {
    case KIVO_DDNSPOD_LIST_MISSING:
        // No record of that name: make one.
        done = kivo_ddnspod_create(token, sub, zone, ip);
        *result = done ? KIVO_REGISTER_CREATED : KIVO_REGISTER_NONE;
        libkivo_log_write("INFO", 1, "create: %s.%s --> %s\n", sub, zone, ip);
        break;
    case KIVO_DDNSPOD_LIST_SAME:
        // The record points here already: confirm the address, so that
        // later passes with it send nothing.
        kivo_text_copy_field(old_extern_ip, ip);
        *result = KIVO_REGISTER_SAME;
        libkivo_log_write("INFO", 1, "exist and same: %s.%s --> %s\n", sub, zone, ip);
        break;
    case KIVO_DDNSPOD_LIST_DIFF:
        // Another value: point the record here. The next pass lists
        // again and confirms the change.
        done = kivo_ddnspod_modify(token, sub, zone, ip, id);
        *result = done ? KIVO_REGISTER_MODIFIED : KIVO_REGISTER_NONE;
        libkivo_log_write("INFO", 1, "exist and diff: %s.%s --> %s\n", sub, zone, ip);
        break;
    default:
        // No usable answer (none at all, a refused token, a cut list): the
        // record is left alone and the caller may try its other token.
        *result = KIVO_REGISTER_NONE;
        libkivo_log_write("ERROR", 4, "error: %s.%s --> %s\n", sub, zone, ip);
        break;
    }
    if (!done) {
        // The record still holds its old value (or none): nothing is confirmed,
        // so the next pass lists again, and the caller may try its other token.
        const kivo_ddnspod_status &st = kivo_ddnspod_last_status;
        libkivo_log_write("ERROR", 4, "%s refused: %s.%s --> %s, code %s: %s\n",
                          code == KIVO_DDNSPOD_LIST_MISSING ? "create" : "modify", sub, zone, ip,
                          st.code[0] ? st.code : "none", st.code[0] ? st.message : "no answer");
    }
    if (std::strcmp(kivo_ddnspod_last_status.code, "-1") == 0) {
        kivo_metrics_refused_login();
        kivo_ddnspod_login_note(token, sub, zone, ip, now);
    }
}

int kivo_ddnspod_confirmed(const char *extern_ip)
{
    return extern_ip != nullptr && std::strcmp(extern_ip, old_extern_ip) == 0;
}

int32_t kivo_ddnspod_create(const char *token, const char *sub_domain, const char *main_domain,
                            const char *extern_ip)
{
    char body[KIVO_DDNSPOD_BODY_SIZE];
    if (!fits(create_form(body, sizeof body, token, sub_domain, main_domain, extern_ip)))
        return 0;
    char answer[KIVO_DDNSPOD_ANSWER_SIZE];
    return post(KIVO_METRICS_CREATE, kCreateUrl, body, answer, sizeof answer);
}

int32_t kivo_ddnspod_modify(const char *token, const char *sub_domain, const char *main_domain,
                            const char *extern_ip, int64_t record_id)
{
    char body[KIVO_DDNSPOD_BODY_SIZE];
    if (!fits(modify_form(body, sizeof body, token, sub_domain, main_domain, extern_ip,
                          record_id)))
        return 0;
    char answer[KIVO_DDNSPOD_ANSWER_SIZE];
    return post(KIVO_METRICS_MODIFY, kModifyUrl, body, answer, sizeof answer);
}

kivo_ddnspod_record kivo_ddnspod_record_info = {"A", KIVO_DDNSPOD_DEFAULT_LINE};

// What DNSPod said to the last request, for the records above and for tests.
kivo_ddnspod_status kivo_ddnspod_last_status;
