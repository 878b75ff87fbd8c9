// The Python LAN device peer (tests/sim/ovc/lanpeer.py) as a child process: its port, its JSON
// event lines, and commands written to its standard input. Closing stdin ends it.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace ovc_test {

class LanPeer {
 public:
  ~LanPeer() { Stop(); }
  // Another peer script of the folder with the same protocol (PORT line, JSON events).
  void SetScript(const std::string& name) { script_ = name; }
  // prefix: a command that runs the peer elsewhere (a namespace), or empty.
  // script: the peer program under tests/sim/ovc.
  bool Start(const std::vector<std::string>& args, const std::vector<std::string>& prefix = {},
             const char* script = "lanpeer.py") {
    std::vector<std::string> argv = prefix;
    argv.push_back(OVC_PYTHON);
    // The script chosen here wins over the one set before (SetScript).
    argv.push_back(std::string(OVC_PEER_DIR) + "/" + (std::string(script) != "lanpeer.py" ? script : script_));
    argv.insert(argv.end(), args.begin(), args.end());
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) return false;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(in[0], 0);
      dup2(out[1], 1);
      std::vector<char*> a;
      for (auto& s : argv) a.push_back(const_cast<char*>(s.c_str()));
      a.push_back(nullptr);
      setenv("PYTHONDONTWRITEBYTECODE", "1", 1);
      execvp(a[0], a.data());
      _exit(127);
    }
    close(in[0]);
    close(out[1]);
    inFd_ = in[1];
    outFd_ = out[0];
    reader_ = std::thread([this] { Read(); });
    std::unique_lock<std::mutex> lk(mu_);
    cv_.wait_for(lk, std::chrono::seconds(20), [this] { return port_ != 0 || done_; });
    return port_ != 0;
  }
  void Send(const std::string& line) {
    std::string l = line + "\n";
    if (inFd_ >= 0) (void)!write(inFd_, l.data(), l.size());
  }
  void Stop() {
    if (inFd_ >= 0) {
      Send("quit");
      close(inFd_);
      inFd_ = -1;
    }
    if (pid_ > 0) {
      for (int i = 0; i < 50; ++i) {
        if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
          pid_ = -1;
          break;
        }
        usleep(20000);
      }
      if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
      }
    }
    if (reader_.joinable()) reader_.join();
    if (outFd_ >= 0) close(outFd_);
    outFd_ = -1;
  }
  uint16_t port() const { return port_; }
  std::vector<std::string> Lines() {
    std::lock_guard<std::mutex> g(mu_);
    return lines_;
  }
  // Waits until a line containing every one of the texts arrives; returns it, or "".
  std::string WaitFor(const std::vector<std::string>& texts, int timeoutMs, size_t from = 0) {
    std::unique_lock<std::mutex> lk(mu_);
    std::string found;
    cv_.wait_for(lk, std::chrono::milliseconds(timeoutMs), [&] {
      for (size_t i = from; i < lines_.size(); ++i) {
        bool all = true;
        for (auto& t : texts) all = all && lines_[i].find(t) != std::string::npos;
        if (all) {
          found = lines_[i];
          return true;
        }
      }
      return done_;
    });
    return found;
  }
  size_t Count() {
    std::lock_guard<std::mutex> g(mu_);
    return lines_.size();
  }

 private:
  void Read() {
    std::string acc;
    char buf[4096];
    for (;;) {
      ssize_t n = read(outFd_, buf, sizeof buf);
      if (n <= 0) break;
      acc.append(buf, (size_t)n);
      size_t nl;
      while ((nl = acc.find('\n')) != std::string::npos) {
        std::string line = acc.substr(0, nl);
        acc.erase(0, nl + 1);
        std::lock_guard<std::mutex> g(mu_);
        if (port_ == 0 && line.rfind("PORT ", 0) == 0) port_ = (uint16_t)std::stoi(line.substr(5));
        else lines_.push_back(line);
        cv_.notify_all();
      }
    }
    std::lock_guard<std::mutex> g(mu_);
    done_ = true;
    cv_.notify_all();
  }
  pid_t pid_ = -1;
  int inFd_ = -1, outFd_ = -1;
  std::thread reader_;
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<std::string> lines_;
  uint16_t port_ = 0;
  bool done_ = false;
  std::string script_ = "lanpeer.py";
};

}  // namespace ovc_test
