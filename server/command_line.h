// The server's command line: switches after '-' or '/', each compared with the whole rest of
// the line, so only a switch that ends the line takes effect.
#pragma once

#include <string>

// The character after the next '-' or '/' from `p` on (multi-byte aware), or null at the end.
const char* NextSwitchToken(const char* p);

struct StartupRequest {
    enum class Registration { None, Register, Unregister } registration = Registration::None;
    bool configure = false;
    bool defaultSettings = false;
    bool embedding = false;  // started by COM for a client ("-Embedding")
};

// `arguments` is the command line after the program name. `configuratorRunning` says whether
// a window "OPC Server Configurator" exists (Configure and DefaultSettings then fall through).
StartupRequest ParseCommandLine(const std::string& arguments, bool configuratorRunning);

// The command line after the program name (quoted or not).
std::string ArgumentsOf(const char* commandLine);
