// DNSPod record client: lists the record of one type on one line and creates
// or modifies it.
#pragma once

#include <cstddef>
#include <cstdint>

// Register results, also the update cycle's per-pass state.
enum {
    KIVO_REGISTER_NONE = 0,     // error or nothing done
    KIVO_REGISTER_CREATED = 1,
    KIVO_REGISTER_SAME = 2,
    KIVO_REGISTER_MODIFIED = 3,
};

// Makes the record sub_domain.main_domain of kivo_ddnspod_record_info's type
// and line point at extern_ip, using token.
// *result is set to one of the KIVO_REGISTER_ values; it is left untouched when
// extern_ip is the last confirmed address (nothing is sent then).
void kivo_ddnspod_register_domain_name(const char *token, const char *sub_domain,
                                       const char *main_domain, const char *extern_ip,
                                       int *result);

// Nonzero when extern_ip is the address a list answer last showed the record
// holding: passes with it send nothing.
int kivo_ddnspod_confirmed(const char *extern_ip);

// Codes of the list operation.
enum {
    KIVO_DDNSPOD_LIST_NONE = 0,     // no usable answer: not an API answer, refused, or cut
    KIVO_DDNSPOD_LIST_MISSING = 1,  // no record of that name
    KIVO_DDNSPOD_LIST_SAME = 2,     // the record holds the address
    KIVO_DDNSPOD_LIST_DIFF = 3,     // the record holds another value
};

// Sizes of the request's form body, of the create and modify answer buffer, and
// the longest list answer read (DNSPod lists every record of the name: other
// types, other lines). A longer list answer is no answer.
enum {
    KIVO_DDNSPOD_BODY_SIZE = 512,
    KIVO_DDNSPOD_ANSWER_SIZE = 1024,
    KIVO_DDNSPOD_LIST_ANSWER_MAX = 64 * 1024,
    KIVO_DDNSPOD_ADDRESS_SIZE = 46, // the longest IPv6 text and its NUL
};

// The record the client keeps: its type ("A" or "AAAA") and its DNSPod line.
// Records of the name with another type or line are never touched.
struct kivo_ddnspod_record {
    char type[8];
    char line[64];
};
// "A" on DNSPod's default line "默认" until the program sets another.
extern kivo_ddnspod_record kivo_ddnspod_record_info;
// The default line as DNSPod names it.
#define KIVO_DDNSPOD_DEFAULT_LINE "默认"

// Posts Record.List and reads the answer; writes *record_id only for LIST_SAME
// and LIST_DIFF.
int32_t kivo_ddnspod_list(const char *token, const char *sub_domain, const char *main_domain,
                          int64_t *record_id, const char *extern_ip);

// Post Record.Create and Record.Modify: 1 when DNSPod answered with status
// code "1" (done), else 0 (refused, no answer, or a body too long to send);
// kivo_ddnspod_last_status tells what DNSPod said.
int32_t kivo_ddnspod_create(const char *token, const char *sub_domain, const char *main_domain,
                            const char *extern_ip);
int32_t kivo_ddnspod_modify(const char *token, const char *sub_domain, const char *main_domain,
                            const char *extern_ip, int64_t record_id);

// The status part of a DNSPod answer: the first "code" after "status" (quoted
// or bare digits) and the first "message" after it, cut to fit, control bytes
// as '?'. Filled by kivo_ddnspod_read_status; the record client keeps the one
// of its last request in kivo_ddnspod_last_status.
struct kivo_ddnspod_status {
    char code[16];
    char message[128];
};
extern kivo_ddnspod_status kivo_ddnspod_last_status;

// 1 when the answer holds a status code (then in *status, with the message or
// an empty one), else 0 with both texts empty.
int kivo_ddnspod_read_status(const char *answer, kivo_ddnspod_status *status);

// Reads a Record.List answer of length bytes as JSON: the record that counts is
// the first of kivo_ddnspod_record_info's type and line. One of the LIST codes;
// *record_id is written only for LIST_SAME and LIST_DIFF. An answer longer than
// KIVO_DDNSPOD_LIST_ANSWER_MAX, or no JSON, is LIST_NONE.
int32_t kivo_ddnspod_read_list_answer(const char *answer, size_t length, const char *extern_ip,
                                      int64_t *record_id);

// Nonzero when address can be published in a record of kivo_ddnspod_record_info's
// type: for A a dotted quad other than 0.0.0.0, for AAAA an IPv6 address in
// 2000::/3.
int kivo_ddnspod_publishable(const char *address);

// Writes src percent-encoded for a form body into dst (size bytes, NUL
// included): '&', '=', '+', '%', the blank, bytes below 0x20 and above 0x7e as
// %XX, everything else as it is. Returns the length of the whole encoding, as
// snprintf does; a value that does not fit is cut before the escape that would
// not fit whole.
size_t kivo_ddnspod_form_value(char *dst, size_t size, const char *src);

// The operator's values as they go into a form body: each at most three times
// as long as its option field allows. The line is kivo_ddnspod_record_info's.
struct kivo_ddnspod_form_values {
    char token[3 * 255 + 1];
    char sub_domain[3 * 127 + 1];
    char main_domain[3 * 127 + 1];
    char line[3 * 63 + 1];
};

// Encodes the three values and the record's line (the default line goes as
// its raw UTF-8 bytes, as it always has; any other line percent-encoded); 1
// when each fitted whole, else 0.
int kivo_ddnspod_form_encode(kivo_ddnspod_form_values *values, const char *token,
                             const char *sub_domain, const char *main_domain);

// Logins rationed per token: after DNSPod refused a token's login (code "-1")
// it is not sent for LOGIN_REST seconds, and never more than LOGIN_MAX failed
// logins fall within any LOGIN_WINDOW seconds.
enum {
    KIVO_DDNSPOD_LOGIN_REST = 60,
    KIVO_DDNSPOD_LOGIN_WINDOW = 300,
    KIVO_DDNSPOD_LOGIN_MAX = 5,
    KIVO_DDNSPOD_LOGIN_TOKENS = 4, // tokens remembered at once
};
// The clock of the rationing, in seconds (monotonic); tests replace it.
extern long (*kivo_ddnspod_clock)(void);
// Seconds until token may be sent again at now; 0: it may.
long kivo_ddnspod_login_wait(const char *token, long now);
// Notes a refused login of token at now; returns the seconds it now rests.
long kivo_ddnspod_login_refused(const char *token, long now);
// Notes a refused login as kivo_ddnspod_login_refused does and logs an INFO
// record of the record asked for and when the token will be sent again.
void kivo_ddnspod_login_note(const char *token, const char *sub_domain, const char *main_domain,
                             const char *extern_ip, long now);
// Forgets every token's failures.
void kivo_ddnspod_login_forget(void);

// Nonzero when every form body for these values, the longest being the modify
// body with a 20-character record id, fits KIVO_DDNSPOD_BODY_SIZE.
int kivo_ddnspod_bodies_fit(const char *token, const char *sub_domain, const char *main_domain,
                            const char *extern_ip);
