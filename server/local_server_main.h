// The entry of our small local servers (the server list, the null server): the command line
// read once, COM joined in the multithreaded apartment, then either the registration switch
// or the life of the server.
#pragma once

#include "command_line.h"

// `registration` gets "/RegServer" or "/UnregServer"; `serve` everything else, with whether
// COM started the process for a client ("-Embedding"). Their result is the exit code.
int RunLocalServerMain(int (*registration)(StartupRequest::Registration),
                       int (*serve)(bool startedByCom));
