// The program's command line, read the way the framework's standard parser reads it.
//
// Of everything on the command line the program uses one result: whether a splash window may
// show. It may, unless the program was started by an embedding or automation host ("/Embedding",
// "-Embedding", "/Automation", "-Automation", any case) or with "--no-splash". Every other
// argument is ignored. Pure function, any thread.
#pragma once

namespace platform {

struct CommandLineInfo {
    bool show_splash = true;
};

// `argv[0]` is the program and is not looked at; argc 0 or a null argv give the defaults.
CommandLineInfo ParseCommandLine(int argc, const char* const* argv);

}  // namespace platform
