// A fake ppp installation in a temporary directory for the provider's tests: peers, pon and
// poff first on PATH, and a fake pppd that writes its pid file and, unless told otherwise,
// brings its interface up in a fake /sys/class/net after a moment. As the real one, pon
// returns once pppd runs in the background.
//
// What the fake pppd of an entry does is set with Mode(entry, ...):
//   "up"     the link comes up after 200 ms (the default)
//   "held"   the link comes up once the test calls BringUp(entry)
//   "never"  pppd runs, its interface never comes up
//   "dies"   pppd ends after 200 ms without a link
//   "quits"  pppd ends as soon as it is in the background, without a link
//   "fail"   pon itself fails
//   "stalls" pon never gets as far as starting pppd (as while a modem dials)
#pragma once

#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "app/app_test_support.h"
#include "support/scoped_environment.h"

namespace provider_test {

namespace fs = std::filesystem;

// Polls the condition until it holds; false after 20 s, far beyond what a busy machine needs.
template <typename Condition>
bool WaitFor(Condition holds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!holds()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

inline std::string ReadText(const std::string& path) {
  return testing_support::ReadFileIfThere(path).value_or("");
}

class FakePpp {
 public:
  FakePpp() : pppdName_("fppp" + std::to_string(::getpid() % 100000)) {
    for (const char* dir : {"bin", "peers", "run", "net", "state"}) {
      fs::create_directory(Path(dir));
    }
    WritePeer("isp", "/dev/ttyS0 115200\nuser \"alice smith\"\n");
    WritePeer("work", "user bob\n");
    WriteScript("pon", PonScript());
    WriteScript("poff", PoffScript());
    WriteScript(pppdName_, PppdScript());
    WriteScript("pppd", "exit 0\n");  // only there to be found
    environment_.Set("PATH", Path("bin") + ":" + std::getenv("PATH"));
    environment_.Set("PELORIN_PPP_PEERS_DIR", Path("peers"));
    environment_.Set("PELORIN_PPP_RUN_DIR", Path("run"));
    environment_.Set("PELORIN_SYS_NET_DIR", Path("net"));
    environment_.Set("PELORIN_PPPD_NAME", pppdName_);
    // A dial waits for a link that is coming however slowly the machine goes.
    environment_.Set("PELORIN_PPP_DIAL_TIMEOUT_MS", "30000");
  }
  ~FakePpp() { StopAllPppd(); }
  FakePpp(const FakePpp&) = delete;
  FakePpp& operator=(const FakePpp&) = delete;

  std::string Path(const std::string& name) const { return scratch_.File(name); }

  void WritePeer(const std::string& entry, const std::string& text) const {
    std::ofstream(Path("peers/" + entry)) << text;
  }
  void Mode(const std::string& entry, const std::string& mode) const {
    std::ofstream(Path("state/mode-" + entry)) << mode;
  }
  // How long a dial waits for the link. Only a link that never comes makes it run out.
  void SetDialTimeoutMs(int ms) const {
    ::setenv("PELORIN_PPP_DIAL_TIMEOUT_MS", std::to_string(ms).c_str(), 1);
  }
  // A "held" link of the entry comes up now.
  void BringUp(const std::string& entry) const { std::ofstream(Path("state/bring-up-" + entry)); }
  // Whether a process runs the fake pon (its script's path is in the command line).
  bool PonRuns() const {
    const std::string script = Path("bin/pon");
    for (const auto& process : fs::directory_iterator("/proc")) {
      const std::string line = ReadText(process.path().string() + "/cmdline");
      if (line.find(script) != std::string::npos) return true;
    }
    return false;
  }
  // The commands pon and poff were called with, one line each.
  std::string Calls() const { return ReadText(Path("state/calls")); }

  // Starts a pppd the way a user would, outside the provider; `arguments` as pppd's.
  void StartPppdByHand(const std::string& arguments) const {
    const std::string command =
        "setsid " + Path("bin/" + pppdName_) + " " + arguments + " </dev/null >/dev/null 2>&1 &";
    if (std::system(command.c_str()) != 0) throw std::runtime_error("cannot start fake pppd");
  }

  // Waits until `count` fake pppd processes run (each has written its pid into state/).
  bool WaitForPppdCount(std::size_t count) const {
    return WaitFor([&] { return PppdPids().size() == count; });
  }

  // Waits until the interface (such as "ppp1") is up.
  bool WaitForInterfaceUp(const std::string& interfaceName) const {
    return WaitFor([&] { return fs::exists(Path("net/" + interfaceName + "/flags")); });
  }

  std::vector<pid_t> PppdPids() const {
    std::vector<pid_t> pids;
    for (const auto& file : fs::directory_iterator(Path("state"))) {
      if (file.path().extension() != ".pppd") continue;
      const pid_t pid = std::atoi(ReadText(file.path().string()).c_str());
      if (pid > 0 && ::kill(pid, 0) == 0) pids.push_back(pid);
    }
    return pids;
  }

  void StopAllPppd() const {
    for (const pid_t pid : PppdPids()) ::kill(pid, SIGTERM);
    WaitForPppdCount(0);
  }

 private:
  void WriteScript(const std::string& name, const std::string& body) const {
    const std::string file = Path("bin/" + name);
    std::ofstream(file) << "#!/bin/bash\nPATH=/usr/bin:/bin\nDIR='" << scratch_.File("") << "'\n"
                        << body;
    fs::permissions(file, fs::perms(0755));
  }

  // pppd's first act is to leave a mark; pon waits for it (at most 10 s).
  std::string PonScript() const {
    return "echo \"pon $*\" >>\"$DIR/state/calls\"\n"
           "mode=$(cat \"$DIR/state/mode-$1\" 2>/dev/null || echo up)\n"
           "case $mode in fail) exit 1;; esac\n"
           "if [ \"$mode\" = stalls ]; then while :; do sleep 0.05; done; fi\n"
           "setsid \"$DIR/bin/" +
           pppdName_ +
           "\" call \"$1\" </dev/null >/dev/null 2>&1 &\n"
           "pppd=$!\n"
           "for i in $(seq 1000); do\n"
           "  [ -e \"$DIR/state/started-$pppd\" ] && exit 0\n"
           "  sleep 0.01\n"
           "done\n"
           "exit 1\n";
  }

  static std::string PoffScript() {
    return "echo \"poff $*\" >>\"$DIR/state/calls\"\n"
           "pid=$(cat \"$DIR/state/$1.pppd\" 2>/dev/null) || { echo none; exit 1; }\n"
           "kill \"$pid\" 2>/dev/null || exit 1\n"
           "exit 0\n";
  }

  // Unit 0 for a peer called "isp", 1 for anything else; a pppd without "call" is unit 7.
  static std::string PppdScript() {
    return "entry=${2:-byhand$$}\n"
           "case \"$entry\" in isp) unit=0;; byhand*) unit=7;; *) unit=1;; esac\n"
           "mode=$(cat \"$DIR/state/mode-$entry\" 2>/dev/null || echo up)\n"
           "cleanup() { rm -f \"$DIR/run/ppp$unit.pid\" \"$DIR/state/$entry.pppd\"; "
           "rm -rf \"$DIR/net/ppp$unit\"; }\n"
           "trap 'cleanup; kill $sleeper 2>/dev/null; exit 0' TERM\n"
           "echo $$ >\"$DIR/state/$entry.pppd\"\n"
           "echo $$ >\"$DIR/run/ppp$unit.pid\"\n"
           ": >\"$DIR/state/started-$$\"\n"
           "if [ \"$mode\" = quits ]; then cleanup; exit 1; fi\n"
           "sleep 0.2\n"
           "if [ \"$mode\" = dies ]; then cleanup; exit 1; fi\n"
           "if [ \"$mode\" = held ]; then\n"
           "  until [ -e \"$DIR/state/bring-up-$entry\" ]; do sleep 0.01; done\n"
           "  mode=up\n"
           "fi\n"
           "if [ \"$mode\" = up ]; then mkdir -p \"$DIR/net/ppp$unit\"; "
           "echo 0x1091 >\"$DIR/net/ppp$unit/flags\"; fi\n"
           "sleep 600 & sleeper=$!\n"
           "wait $sleeper\n"
           "cleanup\n";
  }

  app_test::ScratchDirectory scratch_;
  std::string pppdName_;
  testing_support::ScopedEnvironment environment_;
};

}  // namespace provider_test
