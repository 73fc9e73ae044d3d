// The one writer of the tools' metrics files: replaced whole with its mode,
// through a link or not, failures told once per cause and the recovery once,
// removal of what was written, by a stop too; and the label escaper.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <functional>
#include <string>
#include <vector>

#include "in_child.h"
#include "kivo_textfile.h"
#include "sandbox.h"
#include "temp_dir.h"

namespace {

std::vector<std::string> told;

void log_to_told(int level, const char *message)
{
    told.push_back(std::string(level == KIVO_TEXTFILE_ERROR ? "E " : "I ") + message);
}

int fill_text(FILE *out, const void *context)
{
    std::fputs(static_cast<const char *>(context), out);
    return 0;
}

int fill_fails(FILE *out, const void *)
{
    std::fputs("half", out);
    errno = EMSGSIZE;
    return -1;
}

// Writes the text, and a stop comes in the middle of it.
int fill_then_stop(FILE *out, const void *context)
{
    std::fputs("a 2\n", out);
    raise(*static_cast<const int *>(context));
    return 0;
}

TEST(KivoTextfile, ReplacesTheFileWholeAndRemovesWhatItWrote)
{
    const struct {
        const char *what;
        unsigned mode;
        int flags;
        const char *link; // what the path is a link to ("": no link)
        const char *file; // where the text lands
        mode_t expected;  // under umask 077
    } cases[] = {
        {"mode whatever the umask", 0644, 0, "", "k.prom", 0644},
        {"mode 0: the umask's", 0, 0, "", "k.prom", 0600},
        {"a relative link written through", 0644, KIVO_TEXTFILE_FOLLOW, "own/k.prom", "own/k.prom",
         0644},
        {"a link not followed is replaced", 0644, 0, "own/k.prom", "k.prom", 0644},
    };
    const mode_t saved = umask(077);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        temp_dir dir("textfile");
        ASSERT_EQ(0, mkdir((dir / "own").c_str(), 0755));
        if (c.link[0] != '\0') {
            ASSERT_TRUE(sandbox_write_file(dir / c.link, "old\n"));
            ASSERT_EQ(0, symlink(c.link, (dir / "k.prom").c_str()));
        }
        kivo_textfile_record f;
        ASSERT_EQ(0, kivo_textfile_open(&f, (dir / "k.prom").c_str(), "metrics", c.mode, c.flags,
                                        log_to_told));
        told.clear();
        ASSERT_EQ(0, kivo_textfile_write(&f, fill_text, "a 1\n"));
        ASSERT_EQ(0, kivo_textfile_write(&f, fill_text, "a 2\n"));
        EXPECT_EQ("a 2\n", sandbox_read_file(dir / c.file));
        EXPECT_EQ(S_IFREG | c.expected, sandbox_mode_of(dir / c.file));
        EXPECT_EQ(0u, sandbox_mode_of(dir / c.file + ".tmp"));
        EXPECT_TRUE(told.empty());
        const bool followed = (c.flags & KIVO_TEXTFILE_FOLLOW) != 0;
        if (c.link[0] != '\0') {
            EXPECT_EQ(followed ? "a 2\n" : "old\n", sandbox_read_file(dir / c.link));
        }

        ASSERT_EQ(0, kivo_textfile_remove(&f));
        EXPECT_EQ(0u, sandbox_mode_of(dir / c.file));
        EXPECT_EQ(followed, S_ISLNK(sandbox_mode_of(dir / "k.prom"))) << "the link stays";
        EXPECT_EQ(0, kivo_textfile_remove(&f)) << "nothing left to remove is no failure";
    }
    umask(saved);
}

TEST(KivoTextfile, AFailureKeepsTheFileAndIsToldOncePerCause)
{
    temp_dir dir("textfile");
    const std::string sub = dir / "sub", file = sub + "/k.prom", temp = file + ".tmp";
    auto sh = [](const std::string &cmd) { return [cmd] { ASSERT_EQ(0, sandbox_sh(cmd)) << cmd; }; };
    const struct {
        const char *what;
        std::function<void()> fail, mend;
        kivo_textfile_fill_fn fill;
        std::string message;
    } cases[] = {
        {"a missing folder", sh("mv " + sub + " " + sub + "~"), sh("mv " + sub + "~ " + sub),
         fill_text, "cannot write " + temp + ": No such file or directory"},
        {"a link planted in the temporary file's place", sh("ln -s ../victim " + temp),
         sh("rm " + temp), fill_text, "cannot write " + temp + ": Too many levels of symbolic links"},
        {"a text that cannot be made", [] {}, [] {}, fill_fails,
         "cannot write " + temp + ": Message too long"},
        {"a rename refused", sh("rm " + file + " && mkdir -p " + file + "/x"),
         sh("rm -r " + file), fill_text, "cannot rename " + temp + " to " + file + ": Is a directory"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(0, sandbox_sh("mkdir -p " + sub + " && echo good >" + file));
        kivo_textfile_record f;
        ASSERT_EQ(0, kivo_textfile_open(&f, file.c_str(), "metrics", 0644, 0, log_to_told));
        told.clear();
        c.fail();
        const std::string before = sandbox_read_file(file);
        EXPECT_EQ(-1, kivo_textfile_write(&f, c.fill, "new\n"));
        EXPECT_EQ(-1, kivo_textfile_write(&f, c.fill, "new\n"));
        EXPECT_EQ(std::vector<std::string>{"E metrics: " + c.message}, told);
        EXPECT_EQ(before, sandbox_read_file(file));
        EXPECT_FALSE(S_ISREG(sandbox_mode_of(temp))) << "the temporary file stays";
        EXPECT_EQ(0u, sandbox_mode_of(dir / "victim")) << "a planted link was followed";

        c.mend();
        EXPECT_EQ(0, kivo_textfile_write(&f, fill_text, "new\n"));
        EXPECT_EQ(0, kivo_textfile_write(&f, fill_text, "new\n"));
        EXPECT_EQ("new\n", sandbox_read_file(file));
        ASSERT_EQ(2u, told.size());
        EXPECT_EQ("I metrics: " + file + " written again", told[1]);
    }
}

// A stop removes the file and ends the program by its signal; one that comes
// during a write waits for the rename, or the file would outlive the program.
TEST(KivoTextfile, AStopRemovesTheFileEvenInTheMiddleOfAWrite)
{
    for (int signo : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(strsignal(signo));
        temp_dir dir("textfile");
        const std::string file = dir / "k.prom";
        EXPECT_EQ(128 + signo, in_child_ended_by([&] {
                      static kivo_textfile_record f;
                      ASSERT_EQ(0, kivo_textfile_open(&f, file.c_str(), "metrics", 0644, 0, nullptr));
                      kivo_textfile_remove_at_stop(&f);
                      ASSERT_EQ(0, kivo_textfile_write(&f, fill_text, "a 1\n"));
                      kivo_textfile_write(&f, fill_then_stop, &signo);
                  }));
        EXPECT_EQ(0u, sandbox_mode_of(file));
        EXPECT_EQ(0u, sandbox_mode_of(file + ".tmp"));
    }
}

TEST(KivoTextfile, LabelValuesAreEscapedAndAlwaysUtf8)
{
    const std::string bad = "\xef\xbf\xbd";
    const struct {
        std::string value, escaped;
        int utf8;
    } cases[] = {
        {"ppp0", "ppp0", 1},
        {"a\\b\"c\nd", "a\\\\b\\\"c\\nd", 1},
        {"默认 😀", "默认 😀", 1},
        {"\xb5\xe7\xd0\xc5", bad + bad + bad + bad, 0},          // 电信 in GBK
        {"\xc4\xac\xc8\xcf", "\xc4\xac" + bad + bad, 0},         // 默认 in GBK
        {"\xc0\xaf", bad + bad, 0},                              // overlong '/'
        {"\xed\xa0\x80", bad + bad + bad, 0},                    // a surrogate
        {"\xf4\x90\x80\x80", bad + bad + bad + bad, 0},          // above U+10FFFF
        {"a\xe7\x94", "a" + bad + bad, 0},                       // cut at the end
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.value);
        char out[64];
        EXPECT_EQ(c.escaped.size(), kivo_textfile_escape(out, sizeof out, c.value.c_str()));
        EXPECT_EQ(c.escaped, out);
        EXPECT_EQ(c.utf8, kivo_textfile_is_utf8(c.value.c_str()));
        EXPECT_EQ(1, kivo_textfile_is_utf8(out));
    }
    // What does not fit is left out a whole character or escape at a time.
    char small[6];
    EXPECT_EQ(5u, kivo_textfile_escape(small, 6, "ab默认"));
    EXPECT_STREQ("ab默", small);
    EXPECT_EQ(2u, kivo_textfile_escape(small, 5, "ab默认"));
    EXPECT_EQ(1u, kivo_textfile_escape(small, 3, "a\\"));
    EXPECT_STREQ("a", small);
}

} // namespace
