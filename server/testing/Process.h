// Running the browse binary from the server's tests: once to completion, or
// as a server in the background that the test stops.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace browse::serve::testing {

inline std::string readText(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

struct Finished {
  int status = -1;  // exit status, or 128 + signal
  std::string out;
  std::string err;
};

// Starts `argv` with stdout and stderr going to the files `out` and `err`.
inline pid_t spawn(std::vector<std::string> argv, const std::string& out, const std::string& err) {
  std::vector<char*> pointers;
  for (std::string& arg : argv) pointers.push_back(arg.data());
  pointers.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int outFd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int errFd = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int nullFd = ::open("/dev/null", O_RDONLY);
    if (outFd >= 0 && errFd >= 0 && nullFd >= 0 && ::dup2(nullFd, 0) == 0 &&
        ::dup2(outFd, 1) == 1 && ::dup2(errFd, 2) == 2) {
      ::execv(pointers[0], pointers.data());
    }
    ::_exit(127);
  }
  return pid;
}

inline int waitFor(pid_t pid) {
  int status = 0;
  if (::waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Runs `argv` to its end; `scratch` is a folder for its output files.
inline Finished run(const std::vector<std::string>& argv, const std::filesystem::path& scratch) {
  const std::string out = (scratch / "run.out").string();
  const std::string err = (scratch / "run.err").string();
  Finished finished;
  finished.status = waitFor(spawn(argv, out, err));
  finished.out = readText(out);
  finished.err = readText(err);
  return finished;
}

// `browse serve` in the background on an ephemeral loopback port, stopped by
// SIGTERM (or killed) when the test ends.
class ServerProcess {
 public:
  ServerProcess(const std::string& binary, const std::filesystem::path& scratch,
                std::vector<std::string> arguments)
      : out_((scratch / "server.out").string()), err_((scratch / "server.err").string()) {
    std::vector<std::string> argv{binary, "serve", "--listen", "127.0.0.1:0"};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    pid_ = spawn(argv, out_, err_);
    // The ready line carries the port that the system chose.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < deadline) {
      const std::string out = readText(out_);
      const std::size_t colon = out.rfind(':');
      if (out.find('\n') != std::string::npos && colon != std::string::npos) {
        ready_ = out;
        port_ = std::stoi(out.substr(colon + 1));
        return;
      }
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  ~ServerProcess() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      waitFor(pid_);
    }
  }
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  // 0 when the server did not become ready.
  int port() const { return port_; }
  const std::string& readyLine() const { return ready_; }
  std::string err() const { return readText(err_); }

  // Sends `signal` and returns the exit status, or -1 after `timeout`.
  int stop(int signal = SIGTERM, std::chrono::seconds timeout = std::chrono::seconds(30)) {
    if (pid_ <= 0) return -1;
    ::kill(pid_, signal);
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return -1;
  }

 private:
  std::string out_;
  std::string err_;
  pid_t pid_ = -1;
  int port_ = 0;
  std::string ready_;
};

}  // namespace browse::serve::testing
