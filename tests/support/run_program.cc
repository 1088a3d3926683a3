#include "tests/support/run_program.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <signal.h>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#ifndef BIN_DIR
#error "BIN_DIR must name the build's bin directory"
#endif

namespace {

ProgramResult run_argv(const std::vector<std::string>& argv,
                       const std::string* stdin_data) {
  int out_pipe[2], err_pipe[2], in_pipe[2] = {-1, -1};
  if (pipe(out_pipe) != 0 || pipe(err_pipe) != 0) throw std::runtime_error("pipe");
  if (stdin_data != nullptr && pipe(in_pipe) != 0) throw std::runtime_error("pipe");

  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork");
  if (pid == 0) {
    if (stdin_data != nullptr) {
      dup2(in_pipe[0], 0);
    } else {
      int null_fd = open("/dev/null", O_RDONLY);
      dup2(null_fd, 0);
    }
    dup2(out_pipe[1], 1);
    dup2(err_pipe[1], 2);
    for (int fd : {out_pipe[0], out_pipe[1], err_pipe[0], err_pipe[1], in_pipe[0],
                   in_pipe[1]}) {
      if (fd > 2) close(fd);
    }
    signal(SIGPIPE, SIG_DFL);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  close(out_pipe[1]);
  close(err_pipe[1]);
  if (stdin_data != nullptr) close(in_pipe[0]);

  ProgramResult result;
  size_t fed = 0;
  int in_fd = stdin_data != nullptr ? in_pipe[1] : -1;
  if (in_fd >= 0 && stdin_data->empty()) {
    close(in_fd);
    in_fd = -1;
  }
  bool out_open = true, err_open = true;
  while (out_open || err_open || in_fd >= 0) {
    pollfd fds[3];
    int n = 0;
    if (out_open) fds[n++] = {out_pipe[0], POLLIN, 0};
    if (err_open) fds[n++] = {err_pipe[0], POLLIN, 0};
    if (in_fd >= 0) fds[n++] = {in_fd, POLLOUT, 0};
    if (poll(fds, n, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (int i = 0; i < n; ++i) {
      if (fds[i].revents == 0) continue;
      if (fds[i].fd == in_fd) {
        ssize_t put = write(in_fd, stdin_data->data() + fed, stdin_data->size() - fed);
        if (put > 0) fed += static_cast<size_t>(put);
        if (put < 0 || fed == stdin_data->size()) {
          close(in_fd);
          in_fd = -1;
        }
        continue;
      }
      char buffer[65536];
      ssize_t got = read(fds[i].fd, buffer, sizeof buffer);
      bool is_out = fds[i].fd == out_pipe[0];
      if (got <= 0) {
        (is_out ? out_open : err_open) = false;
      } else {
        (is_out ? result.out : result.err).append(buffer, static_cast<size_t>(got));
      }
    }
  }
  close(out_pipe[0]);
  close(err_pipe[0]);
  int wait_status = 0;
  waitpid(pid, &wait_status, 0);
  result.status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status)
                                         : 128 + WTERMSIG(wait_status);
  return result;
}

}  // namespace

std::string program_path(const std::string& name) {
  return std::string(BIN_DIR) + "/" + name;
}

ProgramResult run_program(const std::string& program,
                          const std::vector<std::string>& args,
                          const std::string* stdin_data) {
  std::vector<std::string> argv = {program_path(program)};
  argv.insert(argv.end(), args.begin(), args.end());
  return run_argv(argv, stdin_data);
}

ProgramResult run_shell(const std::string& command_line) {
  std::string with_path =
      "PATH='" + std::string(BIN_DIR) + "':\"$PATH\"; " + command_line;
  return run_argv({"/bin/bash", "-c", with_path}, nullptr);
}

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base != nullptr ? base : "/tmp") + "/16c-test-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (mkdtemp(buffer.data()) == nullptr) throw std::runtime_error("mkdtemp");
  path_ = buffer.data();
}

TempDir::~TempDir() {
  std::string command = "rm -rf '" + path_ + "'";
  if (std::system(command.c_str()) != 0) {
    // Nothing more to do: a leftover temporary directory harms no test.
  }
}

std::string TempDir::write(const std::string& name, const std::string& bytes) const {
  std::string path = path_ + "/" + name;
  std::ofstream file(path, std::ios::binary);
  file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return path;
}

std::string read_file(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream content;
  content << file.rdbuf();
  return content.str();
}

bool file_exists(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0;
}
