// Python's json module, the JSON tests' reference parser: a script run on
// the lines given as its standard input.
#pragma once

#include <fstream>
#include <string>

#include "tools/harness/process.h"

struct python_run {
    int status = -1;  // exit status; -1 when it did not run or end
    std::string out, err;
};

inline python_run run_python(const char* script, const std::string& input)
{
    const harness::temp_dir dir("nelk-python");
    harness::spawn_options opts;
    opts.stdin_path = dir.file("lines");
    std::ofstream(opts.stdin_path, std::ios::binary) << input;
    harness::process p = harness::spawn({"python3", "-c", script}, opts);
    python_run r;
    if (harness::wait_exit(p, std::chrono::seconds(60)))
        r.status = p.exit_code();
    r.out = p.out();
    r.err = p.err();
    return r;
}
