#include "win32_test_util.h"

#include "platform/windows_api.h"

#include <tlhelp32.h>  // needs <windows.h> first

#include <algorithm>
#include <fstream>
#include <iterator>

namespace mox::win32test {
namespace {

// Enough of the process environment block to find the start-up parameters,
// and of those to find the current directory and the command line. The
// layout is the one Windows has used since NT, with pointer-sized fields
// where Windows has them, so it fits 32-bit and 64-bit programs alike when
// the reader has the reader's own width.
struct CountedString {
  USHORT length;  // in bytes
  USHORT maximum_length;
  PWSTR buffer;
};

struct ProcessParameters {
  BYTE reserved[16];
  PVOID console_handle;
  PVOID console_flags;  // a ULONG, padded to a pointer
  PVOID standard_input;
  PVOID standard_output;
  PVOID standard_error;
  CountedString current_directory;
  PVOID current_directory_handle;
  CountedString dll_path;
  CountedString image_path;
  CountedString command_line;
};

struct EnvironmentBlockHead {
  BYTE flags[4];
  PVOID mutant;
  PVOID image_base;
  PVOID loader_data;
  ProcessParameters* parameters;
};

struct BasicInformation {
  LONG exit_status;
  EnvironmentBlockHead* environment_block;
  ULONG_PTR affinity_mask;
  LONG base_priority;
  ULONG_PTR process_id;
  ULONG_PTR parent_process_id;
};

using QueryInformationProcess = LONG(WINAPI*)(HANDLE, ULONG, PVOID, ULONG, PULONG);

std::string Narrow(const std::wstring& wide) {
  if (wide.empty()) return {};
  const int n = ::WideCharToMultiByte(CP_ACP, 0, wide.data(), static_cast<int>(wide.size()),
                                      nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(n), '\0');
  ::WideCharToMultiByte(CP_ACP, 0, wide.data(), static_cast<int>(wide.size()), out.data(), n,
                        nullptr, nullptr);
  return out;
}

bool ReadCounted(HANDLE process, const CountedString& s, std::string& out) {
  std::wstring text(s.length / sizeof(wchar_t), L'\0');
  SIZE_T read = 0;
  if (!text.empty() && !::ReadProcessMemory(process, s.buffer, text.data(), s.length, &read)) {
    return false;
  }
  out = Narrow(text);
  return true;
}

bool ReadStartParameters(HANDLE process, ProcessView& view) {
  static const auto query = reinterpret_cast<QueryInformationProcess>(reinterpret_cast<void*>(
      ::GetProcAddress(::GetModuleHandleA("ntdll.dll"), "NtQueryInformationProcess")));
  if (query == nullptr) return false;
  BasicInformation basic{};
  if (query(process, 0 /* ProcessBasicInformation */, &basic, sizeof basic, nullptr) != 0) {
    return false;
  }
  EnvironmentBlockHead head{};
  ProcessParameters parameters{};
  SIZE_T read = 0;
  return ::ReadProcessMemory(process, basic.environment_block, &head, sizeof head, &read) &&
         ::ReadProcessMemory(process, head.parameters, &parameters, sizeof parameters, &read) &&
         ReadCounted(process, parameters.current_directory, view.current_directory) &&
         ReadCounted(process, parameters.command_line, view.command_line);
}

bool IsUnder(const std::string& path, const std::string& directory) {
  std::string dir = Folded(directory);
  if (!dir.empty() && dir.back() != '\\') dir += '\\';
  return Folded(path).rfind(dir, 0) == 0;
}

template <typename Match, typename Visit>
void ForEachProcess(Match match, DWORD access, Visit visit) {
  const HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return;
  PROCESSENTRY32 entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = ::Process32First(snapshot, &entry); more;
       more = ::Process32Next(snapshot, &entry)) {
    if (entry.th32ProcessID == ::GetCurrentProcessId()) continue;
    const HANDLE process =
        ::OpenProcess(access | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID);
    if (process == nullptr) continue;
    char image[MAX_PATH * 2];
    DWORD size = sizeof image;
    if (::QueryFullProcessImageNameA(process, 0, image, &size) && match(std::string(image, size))) {
      visit(process, entry.th32ProcessID, std::string(image, size));
    }
    ::CloseHandle(process);
  }
  ::CloseHandle(snapshot);
}

std::vector<ProcessView> Views(auto match) {
  std::vector<ProcessView> views;
  ForEachProcess(match, PROCESS_QUERY_INFORMATION | PROCESS_VM_READ,
                 [&](HANDLE process, DWORD id, const std::string& image) {
                   ProcessView view;
                   view.id = id;
                   view.image = image;
                   if (ReadStartParameters(process, view)) views.push_back(view);
                 });
  return views;
}

void Terminate(auto match) {
  ForEachProcess(match, PROCESS_TERMINATE | SYNCHRONIZE,
                 [](HANDLE process, DWORD, const std::string&) {
                   ::TerminateProcess(process, 99);
                   ::WaitForSingleObject(process, 10000);
                 });
}

}  // namespace

std::vector<ProcessView> ProcessesUnder(const std::string& directory) {
  return Views([&](const std::string& image) { return IsUnder(image, directory); });
}

std::vector<ProcessView> ProcessesOf(const std::string& image) {
  return Views([&](const std::string& other) { return Folded(other) == Folded(image); });
}

void TerminateProcessesUnder(const std::string& directory) {
  Terminate([&](const std::string& image) { return IsUnder(image, directory); });
}

void TerminateProcessesOf(const std::string& image) {
  Terminate([&](const std::string& other) { return Folded(other) == Folded(image); });
}

std::string ParametersOf(const std::string& command_line) {
  std::size_t i = 0;
  if (!command_line.empty() && command_line[0] == '"') {
    i = command_line.find('"', 1);
    i = (i == std::string::npos) ? command_line.size() : i + 1;
  } else {
    i = command_line.find_first_of(" \t");
    if (i == std::string::npos) i = command_line.size();
  }
  i = command_line.find_first_not_of(" \t", i);
  return i == std::string::npos ? std::string() : command_line.substr(i);
}

bool MutexExists(const char* name) {
  const HANDLE h = ::OpenMutexA(SYNCHRONIZE, FALSE, name);
  if (h == nullptr) return false;
  ::CloseHandle(h);
  return true;
}

RunResult Run(const std::string& program, const std::string& tail, const std::string& directory,
              const std::string& scratch, std::uint32_t limit_ms) {
  static int serial = 0;
  const std::string stem = scratch + "\\run" + std::to_string(++serial);
  SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
  auto open_output = [&](const std::string& path) {
    return ::CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                         &inheritable, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  };
  const HANDLE out = open_output(stem + ".out");
  const HANDLE err = open_output(stem + ".err");
  const HANDLE in = ::CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  &inheritable, OPEN_EXISTING, 0, nullptr);

  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = in;
  startup.hStdOutput = out;
  startup.hStdError = err;
  std::string line = "\"" + program + "\"";
  if (!tail.empty()) line += " " + tail;

  RunResult result;
  PROCESS_INFORMATION info{};
  const std::uint64_t start = NowMs();
  const BOOL started = ::CreateProcessA(program.c_str(), line.data(), nullptr, nullptr, TRUE, 0,
                                        nullptr, directory.c_str(), &startup, &info);
  ::CloseHandle(out);
  ::CloseHandle(err);
  ::CloseHandle(in);
  if (!started) {
    result.err = "CreateProcess failed with error " + std::to_string(::GetLastError());
    return result;
  }
  result.finished = ::WaitForSingleObject(info.hProcess, limit_ms) == WAIT_OBJECT_0;
  result.elapsed_ms = NowMs() - start;
  if (!result.finished) {
    ::TerminateProcess(info.hProcess, 98);
    ::WaitForSingleObject(info.hProcess, INFINITE);
  }
  DWORD code = 0;
  ::GetExitCodeProcess(info.hProcess, &code);
  result.exit_code = code;
  ::CloseHandle(info.hThread);
  ::CloseHandle(info.hProcess);
  result.out = ReadWholeFile(stem + ".out");
  result.err += ReadWholeFile(stem + ".err");
  return result;
}

std::string WindowsPath(std::string path) {
  if (!path.empty() && path[0] == '/') path = "Z:" + path;
  std::replace(path.begin(), path.end(), '/', '\\');
  return path;
}

std::string Folded(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  }
  return text;
}

std::uint64_t NowMs() {
  return ::GetTickCount64();
}

bool WaitUntil(const std::function<bool()>& done, std::uint64_t limit_ms) {
  const std::uint64_t give_up = NowMs() + limit_ms;
  while (!done()) {
    if (NowMs() > give_up) return false;
    ::Sleep(20);
  }
  return true;
}

std::string SelfPath() {
  char path[MAX_PATH * 2];
  const DWORD n = ::GetModuleFileNameA(nullptr, path, sizeof path);
  return std::string(path, n);
}

std::string ReadWholeFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace mox::win32test
