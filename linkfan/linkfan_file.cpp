// A file replaced whole through a temporary one.
#include "linkfan_file.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The temporary file, as a descriptor and then as a stream; closed when a
// write is given up half way.
struct temp_owner {
    int fd = -1;
    FILE *file = nullptr;
    ~temp_owner()
    {
        if (file)
            fclose(file);
        else if (fd >= 0)
            close(fd);
    }
    // Closes it now: 0, or EOF when what was still buffered could not be written.
    int close_now()
    {
        FILE *f = file;
        file = nullptr;
        fd = -1;
        return fclose(f);
    }
};

// Removes temp after step failed, keeping the step's errno.
int give_up(const char *temp, int step, int error)
{
    remove(temp);
    errno = error != 0 ? error : EIO;
    return step;
}

}  // namespace

int linkfan_file_replace(const char *path, const char *temp, mode_t mode,
                         void (*fill)(FILE *out, const linkfan_state &state, long long now),
                         const linkfan_state &state, long long now)
{
    temp_owner out;
    out.fd = open(temp, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, mode ? mode : 0666);
    if (out.fd < 0)
        return LINKFAN_FILE_OPEN;
    if (mode != 0 && fchmod(out.fd, mode) != 0)
        return give_up(temp, LINKFAN_FILE_MODE, errno);
    out.file = fdopen(out.fd, "w");
    if (!out.file)
        return give_up(temp, LINKFAN_FILE_WRITE, errno);
    errno = 0;
    fill(out.file, state, now);
    // A short write (a full disk) must not replace a good file.
    int bad = fflush(out.file) != 0 || ferror(out.file);
    int error = errno;
    if (out.close_now() != 0 && !bad) {
        bad = 1;
        error = errno;
    }
    if (bad)
        return give_up(temp, LINKFAN_FILE_WRITE, error);
    if (rename(temp, path) != 0)
        return give_up(temp, LINKFAN_FILE_RENAME, errno);
    return LINKFAN_FILE_OK;
}
