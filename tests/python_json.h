// Python's json module, the JSON tests' reference parser: a script run on
// the lines given as its standard input.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

struct python_run {
    int status = -1;  // exit status; -1 when it did not run or end
    std::string out, err;
};

// The script must not hold a single quote: it goes to the shell in them.
inline python_run run_python(const char* script, const std::string& input)
{
    python_run r;
    char in[] = "/tmp/nelk_python_XXXXXX";
    const int fd = mkstemp(in);
    if (fd < 0)
        return r;
    const bool written = write(fd, input.data(), input.size()) ==
                         static_cast<ssize_t>(input.size());
    close(fd);
    const std::string err = std::string(in) + ".err";
    const std::string command =
        std::string("/usr/bin/python3 -c '") + script + "' < " + in + " 2> " + err;
    std::FILE* p = written ? popen(command.c_str(), "r") : nullptr;
    if (p) {
        char buf[4096];
        for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;)
            r.out.append(buf, n);
        const int status = pclose(p);
        r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::stringstream e;
    e << std::ifstream(err).rdbuf();
    r.err = e.str();
    unlink(in);
    unlink(err.c_str());
    return r;
}
