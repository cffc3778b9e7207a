#pragma once
// The pieces every real test server is run with: a state directory, its files, a child
// process in a process group of its own that dies with the test, and a free port.

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

// A new directory for a server's configuration and logs (mode 0755), ending in "/".
std::string MakeStateDir();
void WriteText(const std::string& path, const std::string& text);
std::string ReadText(const std::string& path);

// Starts argv[0] with output into logPath, in its own process group, dying with the test.
// `environment` ("NAME=value") is added to this process's environment for the child.
pid_t Spawn(const std::vector<std::string>& args, const std::string& logPath,
            const std::vector<std::string>& environment = {});
bool Exited(pid_t pid);
// SIGTERM to the process and its group, SIGKILL when it does not go.
void Stop(pid_t pid);

// A port that was free a moment ago.
int FreePort();
bool Accepts(const std::string& host, int port);

// Starts the server that command(port) makes on a port that was free a moment ago, and
// again on another one when it exits (another process took the port meanwhile). Returns the
// port once the server accepts connections on `host`, with its process in `pid`; throws
// std::runtime_error with the log when it does not start.
int StartOnFreePort(const std::function<std::vector<std::string>(int port)>& command, const std::string& host,
                    const std::string& logPath, const char* serverName, pid_t& pid,
                    const std::vector<std::string>& environment = {});
