// kivo-console: the reference console server.
//   kivo-console serve --data DIR [--seed seed.json] [options]
//   kivo-console publish --data DIR [--pack NAME] [--force] PACK
#include <signal.h>

#include <charconv>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "server/catalogue.h"
#include "server/console_server.h"

namespace {

const char* const kUsage =
    "usage: kivo-console serve --data DIR [--seed FILE] [--host ADDR] [--port N] [--base PATH]\n"
    "                          [--cert PEM --key PEM | --self-signed] [--public-url URL] [--token-ttl SECONDS]\n"
    "                          [--rate-limit PER_SECOND] [--rate-burst N] [--workers N] [--accept-score S]\n"
    "                          [--fault ENDPOINT:KIND]...\n"
    "       kivo-console publish --data DIR [--pack NAME] [--force] PACK\n";

int fail(const std::string& message) {
  std::fprintf(stderr, "kivo-console: %s\n", message.c_str());
  return 2;
}

template <typename T>
bool number(const std::string& text, T* out) {
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), *out);
  return ec == std::errc() && end == text.data() + text.size();
}

int serve(const std::vector<std::string>& args) {
  kivo::console::ConsoleOptions o;
  std::string seed;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--self-signed") {
      o.selfSigned = true;
      continue;
    }
    if (i + 1 >= args.size()) return fail(a + ": missing value\n" + kUsage);
    const std::string& v = args[++i];
    bool ok = true;
    std::string error;
    if (a == "--data") o.dataDir = v;
    else if (a == "--seed") seed = v;
    else if (a == "--host") o.host = v;
    else if (a == "--port") ok = number(v, &o.port) && o.port >= 0 && o.port < 65536;
    else if (a == "--base") {
      ok = v.empty() || (v.front() == '/' && v.back() != '/');
      o.basePath = v;
    }
    else if (a == "--cert") o.certFile = v;
    else if (a == "--key") o.keyFile = v;
    else if (a == "--public-url") o.publicURL = v;
    else if (a == "--token-ttl") ok = number(v, &o.tokenLifetimeSeconds) && o.tokenLifetimeSeconds > 0;
    else if (a == "--rate-limit") ok = number(v, &o.rateLimit) && o.rateLimit >= 0;
    else if (a == "--rate-burst") ok = number(v, &o.rateBurst) && o.rateBurst >= 1;
    else if (a == "--workers") ok = number(v, &o.matchWorkers) && o.matchWorkers > 0;
    else if (a == "--accept-score") ok = number(v, &o.acceptScore);
    else if (a == "--fault") {
      if (!o.faults.add(v, &error)) return fail(error);
    } else return fail("unknown option " + a + "\n" + kUsage);
    if (!ok) return fail(a + ": bad value \"" + v + "\"");
  }
  if (o.dataDir.empty()) return fail(std::string("--data is required\n") + kUsage);

  // SIGINT and SIGTERM end the server; every thread started below inherits the blocked mask.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  try {
    kivo::console::ConsoleServer server(o);
    if (!seed.empty()) kivo::console::seedStore(server.store(), seed, std::chrono::system_clock::now());
    server.start();
    std::printf("kivo-console: serving %s\n", server.baseURL().c_str());
    if (o.selfSigned) std::printf("kivo-console: certificate in %s\n", (o.dataDir / "self-signed.pem").c_str());
    if (!o.faults.empty()) std::printf("kivo-console: fault switches are on\n");
    std::fflush(stdout);
    int signal = 0;
    sigwait(&stopSignals, &signal);
    server.stop();
  } catch (const std::exception& e) {
    return fail(e.what());
  }
  return 0;
}

int publish(const std::vector<std::string>& args) {
  std::filesystem::path data, pack;
  std::string name = "default";
  bool force = false;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--force") force = true;
    else if (args[i] == "--data" && i + 1 < args.size()) data = args[++i];
    else if (args[i] == "--pack" && i + 1 < args.size()) name = args[++i];
    else if (pack.empty() && args[i].rfind("--", 0) != 0) pack = args[i];
    else return fail("unexpected argument " + args[i] + "\n" + kUsage);
  }
  if (data.empty() || pack.empty()) return fail(std::string("--data and a pack file are required\n") + kUsage);
  try {
    kivo::console::ConsoleStore store(data);
    auto v = kivo::console::publishPack(store, pack, name, force, std::chrono::system_clock::now());
    std::printf("kivo-console: published %s as pack \"%s\" version %s\n", pack.c_str(), name.c_str(), v.version.c_str());
  } catch (const std::exception& e) {
    return fail(e.what());
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty() || args[0] == "--help" || args[0] == "-h") {
    std::fputs(kUsage, args.empty() ? stderr : stdout);
    return args.empty() ? 2 : 0;
  }
  const std::string command = args[0];
  args.erase(args.begin());
  if (command == "serve") return serve(args);
  if (command == "publish") return publish(args);
  return fail("unknown command " + command + "\n" + kUsage);
}
