// opcdefaults --export-tags / --import-tags: a Modbus device's tags to and from a CSV file in
// a saved configuration, through the driver DLL loaded as the server loads it.
#pragma once

// argv[1] is the subcommand; the exit code.
int RunTagList(int argc, wchar_t** argv);
