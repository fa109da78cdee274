// The server objects alive in this process, so that their clients hear of it when the process
// ends under them (the configurator's window closed, the session ending): every advised
// IOPCShutdown sink receives ShutdownRequest first, as OPC clients expect.
#pragma once

#include <windows.h>
#include <functional>

class OPCServer;

// A server object is listed from its successful creation until the start of its end.
void ListLiveServer(OPCServer* server) noexcept;
void UnlistLiveServer(OPCServer* server) noexcept;
// Every live server object in turn, each whole while visited (its end waits for the visit).
// The visit may release the visited object's last reference.
void VisitLiveServers(const std::function<void(OPCServer&)>& visit) noexcept;

// Sends ShutdownRequest(reason) to the shutdown sinks of every live server object, from a
// thread of its own, and waits at most `limitMs` for the clients to answer: a client that
// hangs in its callback must not keep the process alive. A client may release its objects
// in the callback. Returns the number of sinks called.
size_t NotifyClientsOfShutdown(const wchar_t* reason, DWORD limitMs) noexcept;

// The reason the server gives, and how long the clients' callbacks may take, all together.
constexpr const wchar_t* kShutdownReason = L"Сервер OPC завершает работу";
constexpr DWORD kShutdownNoticeLimitMs = 5000;
