// Options of kivo_ddns: defaults, command line, help text.
#include "kivo_option.h"

#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "kivo_textfile.h"
#include "libkivo_option.h"
#include "libkivo_text.h"

kivo_option_record kivo_option_info;

const char kivo_option_params[KIVO_OPTION_HELP_LINES][KIVO_OPTION_HELP_WIDTH] = {
    // One line, split only to keep the source narrow.
    // NOLINTNEXTLINE(bugprone-suspicious-missing-comma)
    "Usage: kivo_ddns [-?h] [--help] [--ddns_token=xxx] [--sub_domain=xxx] [--main_domain=xxx] "
    "[--extern_ip=xxx]\n",
    "Options:",
    "  -?,-h                  : this help",
    "  --help                 : this help",
    "  --interval             : --interval=xxx default: 300, unit: seconds",
    "  --ddns_token           : --ddns_token=xxx, default: <security question, not show here>",
    "  --sub_domain           : --sub_domain=xxx, default: hostname of your operate system",
    "  --main_domain          : --main_domain=xxx, default: " KIVO_OPTION_DEFAULT_ZONE,
    "  --extern_ip            : --extern_ip=xxx.xxx.xxx.xxx, default: auto get",
    "  --nic                  : --nic=ppp0, default: auto get",
    "  --type                 : --type=A|AAAA, default: A",
    "  --line                 : --line=xxx, default: 默认",
    "  --metrics              : --metrics=FILE, default: none (Prometheus text for node_exporter)",
};

namespace {

// The text options, for the refusal of an argument that does not fit.
enum text_option {
    OPT_DDNS_TOKEN,
    OPT_SUB_DOMAIN,
    OPT_MAIN_DOMAIN,
    OPT_EXTERN_IP,
    OPT_NIC,
    OPT_METRICS,
    OPT_TEXT_COUNT,
};

struct text_option_field {
    const char *name;
    size_t size; // of the field, NUL included
};

constexpr text_option_field kTextOptions[OPT_TEXT_COUNT] = {
    {"ddns_token", sizeof kivo_option_record::ddns_token},
    {"sub_domain", sizeof kivo_option_record::sub_domain},
    {"main_domain", sizeof kivo_option_record::main_domain},
    {"extern_ip", sizeof kivo_option_record::extern_ip},
    {"nic", sizeof kivo_option_record::nic},
    {"metrics", sizeof kivo_option_record::metrics},
};

// Bit i set: an argument of text option i did not fit and was not stored.
unsigned refused_options;

// Values that fit but cannot be used, refused with KIVO_OPTION_EXIT_BAD_VALUE.
enum bad_value {
    BAD_TYPE = 1u << 0,
    BAD_LINE_EMPTY = 1u << 1,
    BAD_LINE_LONG = 1u << 2,
    BAD_LINE_CONTROL = 1u << 3,
    BAD_LINE_UTF8 = 1u << 4,
};
unsigned bad_values;
// The refused --type, cut and with control bytes as '?', for its message.
char bad_type[32];

// Where the --ddns_token arguments lie in argv, and whether one was given.
const char *token_words[KIVO_OPTION_TOKEN_WORDS];
int token_word_count;
bool token_given;

bool has_control(const char *text, size_t length)
{
    for (size_t i = 0; i < length; i++) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 || c == 0x7f)
            return true;
    }
    return false;
}

void print_help_text()
{
    std::puts("kivo_ddns version: kivo_ddns/1.0");
    for (const char *line : kivo_option_params)
        std::puts(line);
}

[[noreturn]] void refuse_token(const char *path, const char *why)
{
    std::fprintf(stderr, "kivo_ddns: the token in %s %s, refused\n", path, why);
    std::exit(KIVO_OPTION_EXIT_BAD_VALUE);
}

// systemd's LoadCredential puts the token where only this service can read
// it: no unit file and no command line then holds it. Its first line is the
// token; a file that is not there leaves the built-in one.
void read_token_credential()
{
    const char *dir = std::getenv("CREDENTIALS_DIRECTORY");
    if (dir == nullptr || dir[0] == '\0')
        return;
    char path[4096];
    int n = std::snprintf(path, sizeof path, "%s/%s", dir, KIVO_OPTION_TOKEN_CREDENTIAL);
    if (n < 0 || static_cast<size_t>(n) >= sizeof path)
        return; // no such file can exist
    FILE *f = std::fopen(path, "re");
    if (f == nullptr) {
        if (errno == ENOENT)
            return;
        refuse_token(path, std::strerror(errno));
    }
    // The token, its line feed, and one byte to tell a longer line.
    char text[sizeof kivo_option_info.ddns_token + 1];
    size_t got = std::fread(text, 1, sizeof text, f);
    bool failed = std::ferror(f) != 0;
    std::fclose(f);
    if (failed)
        refuse_token(path, "cannot be read");
    const char *lf = static_cast<const char *>(std::memchr(text, '\n', got));
    size_t length = lf != nullptr ? static_cast<size_t>(lf - text) : got;
    if (length == 0)
        refuse_token(path, "is empty");
    if (length >= sizeof kivo_option_info.ddns_token)
        refuse_token(path, "is longer than 255 characters");
    for (size_t i = 0; i < length; i++) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0x21 || c > 0x7e)
            refuse_token(path, "holds a blank or a byte that is not printable");
    }
    std::memcpy(kivo_option_info.ddns_token, text, length);
    kivo_option_info.ddns_token[length] = '\0';
}

// Refused only once the command line is read, so that a help option anywhere
// on the line still wins.
void refuse_bad_values()
{
    if (bad_values == 0)
        return;
    if (bad_values & BAD_TYPE)
        std::fprintf(stderr, "kivo_ddns: --type=%s is not A or AAAA, refused\n", bad_type);
    if (bad_values & BAD_LINE_EMPTY)
        std::fputs("kivo_ddns: --line is empty, refused\n", stderr);
    if (bad_values & BAD_LINE_LONG)
        std::fprintf(stderr, "kivo_ddns: --line is longer than %zu bytes, refused\n",
                     sizeof kivo_option_info.line - 1);
    if (bad_values & BAD_LINE_CONTROL)
        std::fputs("kivo_ddns: --line holds a control character, refused\n", stderr);
    if (bad_values & BAD_LINE_UTF8)
        std::fputs("kivo_ddns: --line is not UTF-8 (DNSPod names its lines in UTF-8), refused\n",
                   stderr);
    print_help_text();
    std::exit(KIVO_OPTION_EXIT_BAD_VALUE);
}

// Copies arg into the field whole, or leaves the field as it is and records the
// refusal: a cut name would publish another record or bind another interface.
void set_text(char *field, text_option which, const char *arg)
{
    size_t size = kTextOptions[which].size;
    if (std::strlen(arg) >= size) {
        refused_options |= 1u << which;
        return;
    }
    kivo_text_copy(field, size, arg);
}

// A placeholder token of DNSPod's form: decimal account id, comma, 32 hex digits
// (38 characters with a five-digit id).
// Made at run time from numbers, so the token text is in no table of the binary.
void build_token(char (&token)[256], unsigned account, unsigned seed)
{
    int n = std::snprintf(token, sizeof token, "%u,", account);
    unsigned x = seed;
    for (int i = 0; i < 32; i++) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        unsigned digit = x & 0xf;
        token[n + i] = static_cast<char>(digit < 10 ? '0' + digit : 'a' + digit - 10);
    }
    token[n + 32] = '\0';
}

void set_default_sub_domain()
{
    char host[128];
    if (gethostname(host, sizeof host) == -1) {
        kivo_text_copy_field(kivo_option_info.sub_domain, "kivo_ddns");
        return;
    }
    host[sizeof host - 1] = '\0';
    kivo_text_copy_field(kivo_option_info.sub_domain, host);
}

// "--m" named --main_domain alone until --metrics came: command lines that
// shorten it so keep their meaning instead of stopping at the help text. The
// other words stay argv's own, where kivo_option_hide_token finds the token.
char **main_domain_words(int argc, char **argv)
{
    static std::vector<std::string> spelled;
    static std::vector<char *> words;
    spelled.assign(static_cast<size_t>(argc), "");
    words.assign(argv, argv + argc);
    words.push_back(nullptr);
    for (int i = 1; i < argc; i++) {
        if (std::strcmp(argv[i], "--") == 0)
            break;
        if (std::strcmp(argv[i], "--m") == 0 || std::strncmp(argv[i], "--m=", 4) == 0) {
            spelled[i] = std::string("--main_domain") + (argv[i] + 3);
            words[i] = spelled[i].data();
        }
    }
    return words.data();
}

} // namespace

void kivo_option_print_help(const char *)
{
    print_help_text();
    std::exit(0);
}

void kivo_option_set_interval(const char *arg)
{
    // Read as atoi reads (leading digits, 0 for a word), but a number beyond
    // the field is no number: atoi would wrap 4294967297 into a pause of one
    // second. 0 is then replaced by the default in kivo_option_init.
    errno = 0;
    long value = std::strtol(arg, nullptr, 10);
    if (errno == ERANGE || value < INT32_MIN || value > INT32_MAX)
        value = 0;
    kivo_option_info.interval = static_cast<int32_t>(value);
}

void kivo_option_set_ddns_token(const char *arg)
{
    set_text(kivo_option_info.ddns_token, OPT_DDNS_TOKEN, arg);
    token_given = true;
    if (token_word_count < KIVO_OPTION_TOKEN_WORDS)
        token_words[token_word_count++] = arg;
}

void kivo_option_set_sub_domain(const char *arg)
{
    set_text(kivo_option_info.sub_domain, OPT_SUB_DOMAIN, arg);
}

void kivo_option_set_main_domain(const char *arg)
{
    set_text(kivo_option_info.main_domain, OPT_MAIN_DOMAIN, arg);
}

void kivo_option_set_extern_ip(const char *arg)
{
    set_text(kivo_option_info.extern_ip, OPT_EXTERN_IP, arg);
}

void kivo_option_set_nic(const char *arg)
{
    set_text(kivo_option_info.nic, OPT_NIC, arg);
}

void kivo_option_set_metrics(const char *arg)
{
    set_text(kivo_option_info.metrics, OPT_METRICS, arg);
}

void kivo_option_set_type(const char *arg)
{
    // Exactly as DNSPod names the two types: "a" or "aaaa " is another word.
    if (std::strcmp(arg, "A") == 0 || std::strcmp(arg, "AAAA") == 0) {
        kivo_text_copy_field(kivo_option_info.record_type, arg);
        bad_values &= ~BAD_TYPE;
        return;
    }
    bad_values |= BAD_TYPE;
    kivo_text_copy_field(bad_type, arg);
    for (char *c = bad_type; *c != '\0'; c++)
        if (has_control(c, 1))
            *c = '?';
}

void kivo_option_set_line(const char *arg)
{
    size_t length = std::strlen(arg);
    bad_values &= ~(BAD_LINE_EMPTY | BAD_LINE_LONG | BAD_LINE_CONTROL | BAD_LINE_UTF8);
    if (length == 0)
        bad_values |= BAD_LINE_EMPTY;
    else if (length >= sizeof kivo_option_info.line)
        bad_values |= BAD_LINE_LONG;
    else if (has_control(arg, length))
        bad_values |= BAD_LINE_CONTROL;
    else if (!kivo_textfile_is_utf8(arg))
        bad_values |= BAD_LINE_UTF8; // GBK, say: DNSPod would know no such line
    else
        kivo_text_copy_field(kivo_option_info.line, arg);
}

void kivo_option_hide_token(int argc, char **argv)
{
    for (int t = 0; t < token_word_count; t++) {
        const char *p = token_words[t];
        for (int i = 0; i < argc && argv[i] != nullptr; i++) {
            size_t length = std::strlen(argv[i]);
            if (p < argv[i] || p > argv[i] + length)
                continue; // not in this word
            char *at = argv[i] + (p - argv[i]);
            std::memset(at, 'x', length - static_cast<size_t>(at - argv[i]));
            break;
        }
    }
    token_word_count = 0;
}

int kivo_option_refused(void)
{
    return refused_options != 0;
}

void kivo_option_init(int argc, char **argv)
{
    const kivo_getopt_entry options[] = {
        {"?", 0, kivo_option_print_help},
        {"h", 0, kivo_option_print_help},
        {"help", 0, kivo_option_print_help},
        {"interval", 1, kivo_option_set_interval},
        {"ddns_token", 1, kivo_option_set_ddns_token},
        {"sub_domain", 1, kivo_option_set_sub_domain},
        {"main_domain", 1, kivo_option_set_main_domain},
        {"extern_ip", 1, kivo_option_set_extern_ip},
        {"nic", 1, kivo_option_set_nic},
        {"type", 1, kivo_option_set_type},
        {"line", 1, kivo_option_set_line},
        {"metrics", 1, kivo_option_set_metrics},
    };

    std::memset(&kivo_option_info, 0, sizeof kivo_option_info);
    refused_options = 0;
    bad_values = 0;
    token_word_count = 0;
    token_given = false;
    build_token(kivo_option_info.ddns_token, 40001, 0x2545f491u);
    build_token(kivo_option_info.ddns_token_fallback, 40002, 0x9e3779b9u);
    set_default_sub_domain();
    kivo_text_copy_field(kivo_option_info.main_domain, KIVO_OPTION_DEFAULT_ZONE);
    kivo_option_info.interval = KIVO_OPTION_DEFAULT_INTERVAL;
    kivo_text_copy_field(kivo_option_info.record_type, "A");
    kivo_text_copy_field(kivo_option_info.line, "默认");

    kivo_getopt(argc, main_domain_words(argc, argv), options, sizeof options / sizeof options[0]);

    // Refused only now, so that a help option anywhere on the line still wins.
    if (refused_options != 0) {
        for (int i = 0; i < OPT_TEXT_COUNT; i++) {
            if (refused_options & (1u << i))
                std::printf("kivo_ddns: the argument of --%s is longer than %zu characters, refused\n",
                            kTextOptions[i].name, kTextOptions[i].size - 1);
        }
        std::exit(KIVO_OPTION_EXIT_TOO_LONG);
    }
    refuse_bad_values();
    if (!token_given)
        read_token_credential();
    // A pause of 0 (atoi of a word, or --interval=0) or less would hammer the
    // echo services and DNSPod without rest.
    if (kivo_option_info.interval < 1) {
        std::printf("kivo_ddns: --interval=%d is not a positive number of seconds, using %d\n",
                    kivo_option_info.interval, KIVO_OPTION_DEFAULT_INTERVAL);
        kivo_option_info.interval = KIVO_OPTION_DEFAULT_INTERVAL;
    }
}
