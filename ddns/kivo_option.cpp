// Options of kivo_ddns: defaults, command line, help text.
#include "kivo_option.h"

#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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
};

namespace {

// The text options, for the refusal of an argument that does not fit.
enum text_option {
    OPT_DDNS_TOKEN,
    OPT_SUB_DOMAIN,
    OPT_MAIN_DOMAIN,
    OPT_EXTERN_IP,
    OPT_NIC,
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
};

// Bit i set: an argument of text option i did not fit and was not stored.
unsigned refused_options;

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

} // namespace

void kivo_option_print_help(const char *)
{
    std::puts("kivo_ddns version: kivo_ddns/1.0");
    for (const char *line : kivo_option_params)
        std::puts(line);
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
    };

    std::memset(&kivo_option_info, 0, sizeof kivo_option_info);
    refused_options = 0;
    build_token(kivo_option_info.ddns_token, 40001, 0x2545f491u);
    build_token(kivo_option_info.ddns_token_fallback, 40002, 0x9e3779b9u);
    set_default_sub_domain();
    kivo_text_copy_field(kivo_option_info.main_domain, KIVO_OPTION_DEFAULT_ZONE);
    kivo_option_info.interval = KIVO_OPTION_DEFAULT_INTERVAL;

    kivo_getopt(argc, argv, options, sizeof options / sizeof options[0]);

    // Refused only now, so that a help option anywhere on the line still wins.
    if (refused_options != 0) {
        for (int i = 0; i < OPT_TEXT_COUNT; i++) {
            if (refused_options & (1u << i))
                std::printf("kivo_ddns: the argument of --%s is longer than %zu characters, refused\n",
                            kTextOptions[i].name, kTextOptions[i].size - 1);
        }
        std::exit(KIVO_OPTION_EXIT_TOO_LONG);
    }
    // A pause of 0 (atoi of a word, or --interval=0) or less would hammer the
    // echo services and DNSPod without rest.
    if (kivo_option_info.interval < 1) {
        std::printf("kivo_ddns: --interval=%d is not a positive number of seconds, using %d\n",
                    kivo_option_info.interval, KIVO_OPTION_DEFAULT_INTERVAL);
        kivo_option_info.interval = KIVO_OPTION_DEFAULT_INTERVAL;
    }
}
