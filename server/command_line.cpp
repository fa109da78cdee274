#include "command_line.h"

#include <windows.h>

const char* NextSwitchToken(const char* p) {
    if (!p) return nullptr;
    while (*p) {
        if (*p == '-' || *p == '/') return p + 1;
        p = CharNextA(p);
    }
    return nullptr;
}

std::string ArgumentsOf(const char* commandLine) {
    if (!commandLine) return {};
    const char* p = commandLine;
    if (*p == '"') {
        ++p;
        while (*p && *p != '"') p = CharNextA(p);
        if (*p == '"') ++p;
    } else {
        while (*p && *p != ' ' && *p != '\t') p = CharNextA(p);
    }
    while (*p == ' ' || *p == '\t') ++p;
    return p;
}

StartupRequest ParseCommandLine(const std::string& arguments, bool configuratorRunning) {
    StartupRequest request;
    // A plain argument (one not starting with '-' or '/') asks for default settings, as the
    // file-name parameter of the framework's command line did.
    size_t i = 0;
    while (i < arguments.size()) {
        while (i < arguments.size() && (arguments[i] == ' ' || arguments[i] == '\t')) ++i;
        if (i >= arguments.size()) break;
        const bool quoted = arguments[i] == '"';
        if (arguments[i] != '-' && arguments[i] != '/') request.defaultSettings = true;
        if (quoted) {
            i = arguments.find('"', i + 1);
            i = i == std::string::npos ? arguments.size() : i + 1;
        }
        while (i < arguments.size() && arguments[i] != ' ' && arguments[i] != '\t') ++i;
    }
    for (const char* token = NextSwitchToken(arguments.c_str()); token;
         token = NextSwitchToken(token)) {
        if (lstrcmpiA(token, "UnregServer") == 0) {
            request.registration = StartupRequest::Registration::Unregister;
            return request;
        }
        if (lstrcmpiA(token, "RegServer") == 0) {
            request.registration = StartupRequest::Registration::Register;
            return request;
        }
        if (lstrcmpiA(token, "Configure") == 0 && !configuratorRunning) {
            request.configure = true;
            return request;
        }
        if (lstrcmpiA(token, "DefaultSettings") == 0 && !configuratorRunning) {
            request.defaultSettings = true;
            return request;
        }
        if (lstrcmpiA(token, "Embedding") == 0) {
            request.embedding = true;
            return request;
        }
    }
    return request;
}
