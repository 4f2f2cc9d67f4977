// What the operator and client tools share: argument parsing, password sources, exit
// statuses, interruption and the connection with the tool's own time-outs.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "net/IdException.h"
#include "net/IdTCPClient.h"

namespace tools {

// Exit statuses: success, a failure at run time, bad arguments.
inline constexpr int ExitOk = 0;
inline constexpr int ExitFailure = 1;
inline constexpr int ExitUsage = 2;

// A failure the tool reports on one line of standard error, exiting with ExitFailure.
class TToolError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Bad arguments: the message and the usage go to standard error, exit ExitUsage.
class TUsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// SIGINT or SIGTERM arrived; the tool stops and exits with 128 + the signal.
class TInterrupted : public std::runtime_error {
 public:
  explicit TInterrupted(int signal);
  int Signal() const { return FSignal; }

 private:
  int FSignal;
};

// Parsed command line: "--name value", "--name=value", flags, and positional words.
class TArgs {
 public:
  // ValueOptions take a value, Flags do not; "--help"/"-h" are always known.
  TArgs(int argc, char** argv, const std::vector<std::string>& valueOptions,
        const std::vector<std::string>& flags);
  bool Help() const { return FHelp; }
  bool Has(const std::string& name) const { return FValues.count(name) != 0; }
  std::string Value(const std::string& name, const std::string& def) const;
  // The option as an integer within [Min, Max]; raises TUsageError otherwise.
  std::int32_t Int(const std::string& name, std::int32_t def, std::int32_t min,
                   std::int32_t max) const;
  // The option as a decimal number of seconds, at least 0 (fractions allowed).
  double Seconds(const std::string& name, double def) const;
  const std::vector<std::string>& Positional() const { return FPositional; }

 private:
  std::map<std::string, std::string> FValues;  // flags map to ""
  std::vector<std::string> FPositional;
  bool FHelp = false;
};

// The password from --password-file (its first line) or else from the environment
// variable EnvName; empty when neither is given.
std::string PasswordFrom(const TArgs& args, const std::string& envName);

// Runs Body with the parsed arguments, turning every error into its message and exit status.
int RunTool(const char* name, const char* usage, int argc, char** argv,
            const std::vector<std::string>& valueOptions, const std::vector<std::string>& flags,
            const std::function<int(const TArgs&)>& body);

// Makes SIGINT and SIGTERM set a flag (a second one ends the process at once), for tools
// that stop cleanly; without it they end the process as usual.
void InstallInterruptHandlers();
// Raises TInterrupted once a handled signal has arrived.
void CheckInterrupt();
// Sleeps Seconds in short steps, raising TInterrupted as soon as a signal arrives.
void SleepInterruptibly(double seconds);

// A client connection with a connect, read and write time-out of the tool's own.
class TToolClient {
 public:
  TToolClient(std::string host, std::uint16_t port, int timeoutSeconds);
  // Connects; raises TToolError naming the server when it cannot.
  void Connect();
  TIdTCPClient& Connection() { return FClient; }
  // "host:port", for messages.
  std::string Endpoint() const;
  int TimeoutSeconds() const { return FTimeoutSeconds; }
  // Reads the server's greeting, checks its protocol number, identifies as Tool and expects
  // "OK"; raises TToolError otherwise.
  void Greet(const std::string& tool, std::int32_t protocol, const std::string& service);
  // Reads one line and raises TToolError with it unless its first field is "OK".
  void ExpectOk();
  // One-line description of a connection-layer error, naming the server.
  std::string Describe(const EIdException& error) const;

 private:
  TIdTCPClient FClient;
  const int FTimeoutSeconds;
};

}  // namespace tools
