// Helpers for the tests that run as Windows programs under Wine: running a
// program with captured output, looking at other processes, waiting, files
// and paths.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace mox::win32test {

/// What another process was started with, read from the process itself: its
/// executable, its whole command line and its current directory.
struct ProcessView {
  std::uint32_t id = 0;
  std::string image;              // full path of the executable
  std::string command_line;       // as the process received it
  std::string current_directory;  // with a trailing backslash, as Windows keeps it
};

/// Every other process whose executable lies under `directory` (compared
/// without regard to case). Processes that cannot be read are skipped.
std::vector<ProcessView> ProcessesUnder(const std::string& directory);

/// Every other process that runs the executable `image`.
std::vector<ProcessView> ProcessesOf(const std::string& image);

/// Terminates every other process whose executable lies under `directory`,
/// or that runs `image`, and waits for their ends.
void TerminateProcessesUnder(const std::string& directory);
void TerminateProcessesOf(const std::string& image);

/// The command line without its program part: what follows the first
/// argument and the blanks after it.
std::string ParametersOf(const std::string& command_line);

/// True while a named mutex of that name exists. Opens no lasting handle.
bool MutexExists(const char* name);

struct RunResult {
  unsigned long exit_code = 0;
  std::string out;  // standard output, byte for byte
  std::string err;  // standard error
  std::uint64_t elapsed_ms = 0;
  bool finished = false;  // false: killed after the time limit
};

/// Runs `program` with the command line `"program" tail` (no tail: the
/// quoted program alone) in `directory`, standard output and error going to
/// files in `scratch`.
RunResult Run(const std::string& program, const std::string& tail, const std::string& directory,
              const std::string& scratch, std::uint32_t limit_ms = 120000);

/// A path as Windows sees it: a POSIX path from the build (ctest hands those
/// over) becomes one on Wine's drive Z:, which maps the POSIX root.
std::string WindowsPath(std::string path);

/// Lower-case ASCII copy, for comparing paths.
std::string Folded(std::string text);

/// Milliseconds since some fixed point.
std::uint64_t NowMs();

/// Checks `done` every 20 ms until it holds (true) or `limit_ms` have passed
/// (false). For states that come with no object to wait on, such as another
/// process having ended or written a file.
bool WaitUntil(const std::function<bool()>& done, std::uint64_t limit_ms);

/// The full path of this test executable, which many tests also run as a
/// child program.
std::string SelfPath();

/// The whole file, byte for byte; empty when it cannot be read.
std::string ReadWholeFile(const std::filesystem::path& path);

}  // namespace mox::win32test
