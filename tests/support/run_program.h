// Runs a built program and captures what it writes and how it ends.
#ifndef TESTS_SUPPORT_RUN_PROGRAM_H_
#define TESTS_SUPPORT_RUN_PROGRAM_H_

#include <string>
#include <vector>

struct ProgramResult {
  std::string out;  // standard output
  std::string err;  // standard error
  int status;       // exit status, or 128 + signal number
};

// Path of a built program, e.g. program_path("kesp").
std::string program_path(const std::string& name);

// Runs `program` (a name under the build's bin directory) with `args`. With
// `stdin_data` the program reads those bytes through a pipe on standard
// input; otherwise standard input is /dev/null.
ProgramResult run_program(const std::string& program,
                          const std::vector<std::string>& args,
                          const std::string* stdin_data = nullptr);

// Runs a shell command line (for pipes and redirections); the build's bin
// directory is first on PATH.
ProgramResult run_shell(const std::string& command_line);

// A fresh temporary directory, removed with its content when destroyed.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  // Writes `bytes` to a file in the directory and returns its path.
  std::string write(const std::string& name, const std::string& bytes) const;

 private:
  std::string path_;
};

std::string read_file(const std::string& path);
bool file_exists(const std::string& path);

#endif  // TESTS_SUPPORT_RUN_PROGRAM_H_
