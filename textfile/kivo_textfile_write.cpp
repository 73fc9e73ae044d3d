// A file replaced whole: written beside itself and renamed over itself.
#include "kivo_textfile.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>

namespace {

// The steps of a write, so that a failure is told once per step and errno.
enum step {
    STEP_OK,
    STEP_FOLLOW, // the link's target cannot be named
    STEP_OPEN,
    STEP_MODE,
    STEP_WRITE,
    STEP_RENAME,
};

constexpr char kTempSuffix[] = ".tmp";

// The file that SIGTERM and SIGINT remove (kivo_textfile_remove_at_stop).
kivo_textfile_record *volatile stop_file = nullptr;

// The signals a stop comes by.
sigset_t stop_signals()
{
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGTERM);
    sigaddset(&stops, SIGINT);
    return stops;
}

// Holds the stops back for its scope: one that comes while a file is put in
// place removes it after the rename, not before a rename that would put it
// back, and never finds the record half updated.
struct stops_held {
    sigset_t saved;
    stops_held()
    {
        sigset_t stops = stop_signals();
        sigprocmask(SIG_BLOCK, &stops, &saved);
    }
    stops_held(const stops_held &) = delete;
    stops_held &operator=(const stops_held &) = delete;
    ~stops_held() { sigprocmask(SIG_SETMASK, &saved, nullptr); }
};

// The file goes, and the signal then ends the program as it would have.
void remove_and_stop(int signo)
{
    kivo_textfile_record *f = stop_file;
    if (f != nullptr)
        kivo_textfile_remove(f);
    signal(signo, SIG_DFL);
    raise(signo);
}

// The temporary file, as a descriptor and then as a stream; closed when a
// write is given up half way.
struct temp_owner {
    int fd = -1;
    FILE *file = nullptr;
    temp_owner() = default;
    temp_owner(const temp_owner &) = delete;
    temp_owner &operator=(const temp_owner &) = delete;
    ~temp_owner()
    {
        if (file != nullptr)
            std::fclose(file);
        else if (fd >= 0)
            close(fd);
    }
    // Closes it now: 0, or EOF when what was still buffered could not be written.
    int close_now()
    {
        FILE *f = file;
        file = nullptr;
        fd = -1;
        return std::fclose(f);
    }
};

// The file the record's path names: the path itself, or with FOLLOW the
// target of the link it is. 0, or -1 with errno set.
int target_of(const kivo_textfile_record &f, char *out, size_t size)
{
    char link[KIVO_TEXTFILE_PATH_SIZE];
    ssize_t n = (f.flags & KIVO_TEXTFILE_FOLLOW) != 0 ? readlink(f.path, link, sizeof link) : -1;
    int length;
    if (n < 0) {
        length = std::snprintf(out, size, "%s", f.path); // not a link: the path itself
    } else if (static_cast<size_t>(n) >= sizeof link) {
        length = -1;
    } else {
        link[n] = '\0';
        const char *slash = std::strrchr(f.path, '/');
        length = link[0] == '/' || slash == nullptr
                     ? std::snprintf(out, size, "%s", link)
                     : std::snprintf(out, size, "%.*s/%s", static_cast<int>(slash - f.path),
                                     f.path, link);
    }
    // A target too long to name is not written: writing the path instead
    // would replace the link.
    if (length < 0 || static_cast<size_t>(length) >= size) {
        errno = ENAMETOOLONG;
        return -1;
    }
    return 0;
}

// Writes temp through fill and renames it over file; the step that failed,
// with errno set and temp removed.
step put(const kivo_textfile_record &f, const char *temp, const char *file,
         kivo_textfile_fill_fn fill, const void *context)
{
    temp_owner out;
    // A link planted in the temporary file's place is not followed: the
    // folder may be another user's.
    out.fd = open(temp, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW,
                  f.mode != 0 ? f.mode : 0666);
    if (out.fd < 0)
        return STEP_OPEN;
    step failed = STEP_OK;
    int error = 0;
    if (f.mode != 0 && fchmod(out.fd, f.mode) != 0) {
        failed = STEP_MODE;
        error = errno;
    } else if ((out.file = fdopen(out.fd, "w")) == nullptr) {
        failed = STEP_WRITE;
        error = errno;
    } else {
        // A short write (a full disk) must not replace a good file.
        errno = EIO;
        bool bad = fill(out.file, context) != 0 || std::fflush(out.file) != 0 ||
                   std::ferror(out.file) != 0;
        error = errno;
        if (out.close_now() != 0 && !bad) {
            bad = true;
            error = errno;
        }
        if (bad) {
            failed = STEP_WRITE;
        } else if (std::rename(temp, file) != 0) {
            failed = STEP_RENAME;
            error = errno;
        }
    }
    if (failed != STEP_OK) {
        unlink(temp);
        errno = error != 0 ? error : EIO;
    }
    return failed;
}

__attribute__((format(printf, 3, 4))) void tell(const kivo_textfile_record &f, int level,
                                                const char *format, ...)
{
    if (f.log == nullptr)
        return;
    char message[3 * KIVO_TEXTFILE_PATH_SIZE];
    int n = std::snprintf(message, sizeof message, "%s: ", f.what);
    va_list args;
    va_start(args, format);
    std::vsnprintf(message + n, sizeof message - static_cast<size_t>(n), format, args);
    va_end(args);
    f.log(level, message);
}

// Tells the failure of step unless its cause is the one told last.
void tell_failure(kivo_textfile_record *f, step s, int error, const char *temp, const char *file)
{
    if (f->failed_step == s && f->failed_errno == error)
        return;
    f->failed_step = s;
    f->failed_errno = error;
    const char *why = std::strerror(error);
    if (s == STEP_FOLLOW)
        tell(*f, KIVO_TEXTFILE_ERROR, "cannot follow %s: %s", f->path, why);
    else if (s == STEP_MODE)
        tell(*f, KIVO_TEXTFILE_ERROR, "cannot give %s mode %04o: %s", temp, f->mode, why);
    else if (s == STEP_RENAME)
        tell(*f, KIVO_TEXTFILE_ERROR, "cannot rename %s to %s: %s", temp, file, why);
    else
        tell(*f, KIVO_TEXTFILE_ERROR, "cannot write %s: %s", temp, why);
}

} // namespace

int kivo_textfile_open(kivo_textfile_record *f, const char *path, const char *what, unsigned mode,
                       int flags, kivo_textfile_log_fn log)
{
    *f = kivo_textfile_record{};
    std::snprintf(f->what, sizeof f->what, "%s", what);
    f->mode = mode;
    f->flags = flags;
    f->log = log;
    if (std::strlen(path) + sizeof kTempSuffix > sizeof f->path)
        return -1;
    std::snprintf(f->path, sizeof f->path, "%s", path);
    return 0;
}

int kivo_textfile_write(kivo_textfile_record *f, kivo_textfile_fill_fn fill, const void *context)
{
    if (f->path[0] == '\0')
        return 0;
    stops_held held;
    char file[KIVO_TEXTFILE_PATH_SIZE], temp[KIVO_TEXTFILE_PATH_SIZE + sizeof kTempSuffix];
    if (target_of(*f, file, sizeof file) != 0) {
        tell_failure(f, STEP_FOLLOW, errno, "", "");
        return -1;
    }
    std::snprintf(temp, sizeof temp, "%s%s", file, kTempSuffix);
    step s = put(*f, temp, file, fill, context);
    if (s != STEP_OK) {
        tell_failure(f, s, errno, temp, file);
        return -1;
    }
    std::memcpy(f->written, file, sizeof f->written);
    if (f->failed_step != STEP_OK)
        tell(*f, KIVO_TEXTFILE_INFO, "%s written again", file);
    f->failed_step = STEP_OK;
    f->failed_errno = 0;
    return 0;
}

int kivo_textfile_remove(kivo_textfile_record *f)
{
    if (f->written[0] == '\0' || unlink(f->written) == 0 || errno == ENOENT)
        return 0;
    return -1;
}

void kivo_textfile_remove_at_stop(kivo_textfile_record *f)
{
    stop_file = f;
    struct sigaction stop = {};
    stop.sa_handler = remove_and_stop;
    stop.sa_mask = stop_signals();
    sigaction(SIGTERM, &stop, nullptr);
    sigaction(SIGINT, &stop, nullptr);
}
