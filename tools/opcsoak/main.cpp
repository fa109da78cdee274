// opcsoak: one client of a soak run (scripts/soak.sh starts several at once). It plays one
// role (see soak_roles.h) against the server for a given time and prints one JSON line of
// what it saw: calls made, failures, the slowest call, writes that did not arrive, the
// longest wait for an update callback, cancels.
//
//   opcsoak --role NAME --seconds S [--seed N] [--server PROGID]
//
// Exit code 0 once it has printed its figures (the script judges them), 1 when it could not
// reach the server, 2 for bad usage.
#include <windows.h>
#include <objbase.h>
#include <cwchar>
#include <string>

#include "connection.h"
#include "console_output.h"
#include "soak_figures.h"
#include "soak_roles.h"

namespace {

struct Options {
    std::wstring role;
    unsigned long seconds = 60;
    unsigned seed = 1;
    std::wstring server = L"OPCServerVEXA.OPCServer";
};

bool Parse(int argc, wchar_t** argv, Options& options) {
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::wstring name = argv[i], value = argv[i + 1];
        if (name == L"--role")
            options.role = value;
        else if (name == L"--seconds")
            options.seconds = wcstoul(value.c_str(), nullptr, 10);
        else if (name == L"--seed")
            options.seed = static_cast<unsigned>(wcstoul(value.c_str(), nullptr, 10));
        else if (name == L"--server")
            options.server = value;
        else
            return false;
    }
    return argc % 2 == 1 && IsSoakRole(options.role) && options.seconds > 0;
}

// COM for the tool's life: the roles' objects are released before it ends.
class ComApartment {
  public:
    ComApartment() { CoInitializeEx(nullptr, COINIT_MULTITHREADED); }
    ~ComApartment() { CoUninitialize(); }
    ComApartment(const ComApartment&) = delete;
    ComApartment& operator=(const ComApartment&) = delete;
};

}  // namespace

int wmain(int argc, wchar_t** argv) {
    Options options;
    if (!Parse(argc, argv, options)) {
        WriteErr(
            L"usage: opcsoak --role subscriber|subscriber-da1|poller|writer|async|churn|victim "
            L"--seconds S [--seed N] [--server PROGID]\n");
        return 2;
    }
    ComApartment com;
    const double start = NowMs();
    SoakFigures figures(options.role, options.seed);
    try {
        Connection connection(options.server);
        SoakContext context{connection, figures, options.seed,
                            GetTickCount64() + options.seconds * 1000ULL,
                            std::mt19937(options.seed)};
        RunSoakRole(options.role, context);
    } catch (const ToolError& e) {
        WriteErr(L"opcsoak: " + e.Message() + L"\n");
        return 1;
    } catch (const std::bad_alloc&) {
        WriteErr(L"opcsoak: out of memory\n");
        return 1;
    }
    WriteOut(figures.Json((NowMs() - start) / 1000.0));
    return 0;
}
