#include "tools/common/ToolCommon.h"

#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <thread>

#include "common/TextUtil.h"
#include "common/UnitZarnelGlobal.h"

namespace tools {

namespace {

volatile std::sig_atomic_t GInterruptSignal = 0;

void OnInterrupt(int signal) {
  GInterruptSignal = signal;
}

std::int64_t NowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

bool Contains(const std::vector<std::string>& list, const std::string& item) {
  for (const auto& entry : list)
    if (entry == item) return true;
  return false;
}

// Connection-layer texts may carry CR LF (socket errors); a tool prints one line.
std::string OneLine(std::string text) {
  std::string out;
  for (char c : text) {
    if (c == '\r') continue;
    out += c == '\n' ? ' ' : c;
  }
  return out;
}

// The system's (or the resolver's) text of a socket error, without its number.
std::string ErrorText(const EIdSocketError& error) {
  const std::string text = error.what();
  const auto lineEnd = text.find('\n');
  return lineEnd == std::string::npos ? OneLine(text) : text.substr(lineEnd + 1);
}

}  // namespace

TInterrupted::TInterrupted(int signal) : std::runtime_error("interrupted"), FSignal(signal) {}

TArgs::TArgs(int argc, char** argv, const std::vector<std::string>& valueOptions,
             const std::vector<std::string>& flags) {
  bool optionsEnded = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
      FPositional.push_back(arg);
      continue;
    }
    if (arg == "--") {
      optionsEnded = true;
      continue;
    }
    if (arg == "-h" || arg == "--help") {
      FHelp = true;
      continue;
    }
    std::string name = arg.substr(2);
    std::string value;
    const bool inlineValue = arg.rfind("--", 0) == 0 && name.find('=') != std::string::npos;
    if (inlineValue) {
      value = name.substr(name.find('=') + 1);
      name = name.substr(0, name.find('='));
    }
    if (arg.rfind("--", 0) != 0) throw TUsageError("unknown option " + arg);
    if (name == "password")
      throw TUsageError(
          "passwords are not taken as arguments (other users can see them); "
          "use --password-file or the environment");
    if (Contains(flags, name)) {
      if (inlineValue) throw TUsageError("option --" + name + " takes no value");
      FValues[name] = "";
    } else if (Contains(valueOptions, name)) {
      if (!inlineValue) {
        if (i + 1 >= argc) throw TUsageError("option --" + name + " needs a value");
        value = argv[++i];
      }
      FValues[name] = value;
    } else {
      throw TUsageError("unknown option --" + name);
    }
  }
}

std::string TArgs::Value(const std::string& name, const std::string& def) const {
  auto it = FValues.find(name);
  return it == FValues.end() ? def : it->second;
}

std::int32_t TArgs::Int(const std::string& name, std::int32_t def, std::int32_t min,
                        std::int32_t max) const {
  if (!Has(name)) return def;
  const std::string text = Value(name, "");
  std::int32_t value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || text.empty() || value < min ||
      value > max)
    throw TUsageError("--" + name + " needs a whole number from " + std::to_string(min) + " to " +
                      std::to_string(max) + ", not '" + text + "'");
  return value;
}

double TArgs::Seconds(const std::string& name, double def) const {
  if (!Has(name)) return def;
  const std::string text = Value(name, "");
  char* end = nullptr;
  errno = 0;
  const double value = std::strtod(text.c_str(), &end);
  if (text.empty() || errno != 0 || *end != '\0' || !(value >= 0) || value > 86400)
    throw TUsageError("--" + name + " needs a number of seconds, not '" + text + "'");
  return value;
}

std::string PasswordFrom(const TArgs& args, const std::string& envName) {
  if (args.Has("password-file")) {
    const std::string path = args.Value("password-file", "");
    std::ifstream file(path, std::ios::binary);
    if (!file) throw TToolError("cannot read the password file " + path);
    std::string line;
    std::getline(file, line);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
  }
  const char* env = std::getenv(envName.c_str());
  return env ? env : "";
}

int RunTool(const char* name, const char* usage, int argc, char** argv,
            const std::vector<std::string>& valueOptions, const std::vector<std::string>& flags,
            const std::function<int(const TArgs&)>& body) {
  try {
    TArgs args(argc, argv, valueOptions, flags);
    if (args.Help()) {
      std::cout << usage;
      return ExitOk;
    }
    return body(args);
  } catch (const TUsageError& e) {
    std::cerr << name << ": " << e.what() << "\n" << usage;
    return ExitUsage;
  } catch (const TInterrupted& e) {
    std::cerr << name << ": interrupted\n";
    return 128 + e.Signal();
  } catch (const std::exception& e) {
    std::cerr << name << ": " << OneLine(e.what()) << "\n";
    return ExitFailure;
  }
}

void InstallInterruptHandlers() {
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  // No SA_RESTART: a blocking call returns early. SA_RESETHAND: a second ^C kills at once.
  action.sa_flags = SA_RESETHAND;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

void CheckInterrupt() {
  if (GInterruptSignal != 0) throw TInterrupted(GInterruptSignal);
}

void SleepInterruptibly(double seconds) {
  const std::int64_t until = NowMs() + static_cast<std::int64_t>(seconds * 1000);
  for (;;) {
    CheckInterrupt();
    const std::int64_t left = until - NowMs();
    if (left <= 0) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(std::min<std::int64_t>(left, 50)));
  }
}

TToolClient::TToolClient(std::string host, std::uint16_t port, int timeoutSeconds)
    : FTimeoutSeconds(timeoutSeconds) {
  FClient.Host = std::move(host);
  FClient.Port = port;
  FClient.ConnectTimeout = timeoutSeconds * 1000;
  FClient.ReadTimeout = timeoutSeconds * 1000;
  FClient.WriteTimeout = timeoutSeconds * 1000;
}

void TToolClient::Connect() {
  try {
    FClient.Connect();
  } catch (const EIdSocketError& e) {
    if (e.LastError() == EINTR) CheckInterrupt();
    if (e.LastError() == ETIMEDOUT)
      throw TToolError("cannot connect to " + Endpoint() + ": no answer within " +
                       std::to_string(FTimeoutSeconds) + " s");
    throw TToolError("cannot connect to " + Endpoint() + ": " + ErrorText(e));
  } catch (const EIdException& e) {
    throw TToolError("cannot connect to " + Endpoint() + ": " + OneLine(e.what()));
  }
}

void TToolClient::Greet(const std::string& tool, std::int32_t protocol,
                        const std::string& service) {
  const std::string number = std::to_string(protocol);
  std::string greeting = FClient.ReadLn();
  NextField(greeting, "\t");
  if (NextField(greeting, "\t") != number)
    throw TToolError(Endpoint() + " does not speak the " + service + " protocol " + number);
  FClient.WriteLn(tool + " " + ServerVersion + "\t" + number);
  ExpectOk();
}

void TToolClient::ExpectOk() {
  std::string reply = FClient.ReadLn();
  if (NextField(reply, "\t") != "OK") throw TToolError("the server refused: " + reply);
}

std::string TToolClient::Endpoint() const {
  return FClient.Host + ":" + std::to_string(FClient.Port);
}

std::string TToolClient::Describe(const EIdException& error) const {
  if (dynamic_cast<const EIdReadTimeout*>(&error))
    return "no answer from " + Endpoint() + " within " + std::to_string(FTimeoutSeconds) + " s";
  if (dynamic_cast<const EIdWriteTimeout*>(&error))
    return Endpoint() + " took no data for " + std::to_string(FTimeoutSeconds) + " s";
  if (dynamic_cast<const EIdConnClosedGracefully*>(&error) ||
      dynamic_cast<const EIdNotConnected*>(&error))
    return Endpoint() + " closed the connection";
  if (auto socketError = dynamic_cast<const EIdSocketError*>(&error))
    return Endpoint() + ": " + ErrorText(*socketError);
  return Endpoint() + ": " + OneLine(error.what());
}

}  // namespace tools
