// A clock for end-to-end tests of the real viewer: loaded with LD_PRELOAD,
// it answers time() with the modification time of the file that
// NELK_FAKE_TIME names, so a test moves the viewer's clock by touching that
// file instead of waiting for minute boundaries. Without the variable, or
// when the file is gone, the system's time is given.
//
// The time lives in the file's metadata rather than its contents so that
// asking for it reads nothing: tests can count the bytes the viewer reads
// from its relay without the clock adding to them.
#include <sys/stat.h>
#include <time.h>

#include <cstdlib>

extern "C" time_t time(time_t* result) noexcept
{
    time_t now;
    struct stat st;
    const char* path = std::getenv("NELK_FAKE_TIME");
    if (path && stat(path, &st) == 0) {
        now = st.st_mtime;
    } else {
        timespec ts{};
        clock_gettime(CLOCK_REALTIME, &ts);
        now = ts.tv_sec;
    }
    if (result)
        *result = now;
    return now;
}
