#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include "app/subprocess.h"
#include "common/utf16.h"

struct Subprocess::Handles {
  HANDLE process = nullptr;
  HANDLE out = nullptr;
  HANDLE err = nullptr;
  int status = -1;
};

Subprocess::Subprocess(std::unique_ptr<Handles> handles) : handles_(std::move(handles)) {}

Subprocess::~Subprocess() {
  if (handles_->out != nullptr) CloseHandle(handles_->out);
  if (handles_->err != nullptr) CloseHandle(handles_->err);
  if (handles_->process != nullptr) {
    // A run that is still going is waited for: an update is never cut short here.
    WaitForSingleObject(handles_->process, INFINITE);
    CloseHandle(handles_->process);
  }
}

namespace {

// One argument as CommandLineToArgvW reads it back.
std::wstring quoted(const std::wstring& word) {
  if (!word.empty() && word.find_first_of(L" \t\"") == std::wstring::npos) return word;
  std::wstring out = L"\"";
  size_t backslashes = 0;
  for (wchar_t c : word) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    out.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
    backslashes = 0;
    out += c;
  }
  out.append(backslashes * 2, L'\\');
  return out + L"\"";
}

std::wstring wide(const std::string& utf8) {
  const std::u16string text = utf16FromUtf8(utf8);
  return std::wstring(text.begin(), text.end());
}

bool makePipe(HANDLE* readEnd, HANDLE* writeEnd) {
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  if (!CreatePipe(readEnd, writeEnd, &inherit, 0)) return false;
  SetHandleInformation(*readEnd, HANDLE_FLAG_INHERIT, 0);
  return true;
}

// Reads what is waiting without blocking; closes the pipe at its end.
void drain(HANDLE& pipe, std::string* into) {
  while (pipe != nullptr) {
    DWORD waiting = 0;
    if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &waiting, nullptr)) {
      CloseHandle(pipe);
      pipe = nullptr;
      return;
    }
    if (waiting == 0) return;
    char buffer[4096];
    DWORD got = 0;
    if (!ReadFile(pipe, buffer, waiting < sizeof buffer ? waiting : sizeof buffer, &got, nullptr))
      return;
    into->append(buffer, got);
  }
}

}  // namespace

std::unique_ptr<Subprocess> Subprocess::start(const std::vector<std::string>& args) {
  wchar_t self[MAX_PATH * 4];
  const DWORD length = GetModuleFileNameW(nullptr, self, sizeof self / sizeof self[0]);
  if (length == 0 || length >= sizeof self / sizeof self[0]) return nullptr;
  std::wstring commandLine = quoted(self);
  for (const std::string& arg : args) commandLine += L" " + quoted(wide(arg));
  auto handles = std::make_unique<Handles>();
  HANDLE outWrite = nullptr, errWrite = nullptr;
  if (!makePipe(&handles->out, &outWrite)) return nullptr;
  if (!makePipe(&handles->err, &errWrite)) {
    CloseHandle(outWrite);
    return nullptr;
  }
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = outWrite;
  startup.hStdError = errWrite;
  PROCESS_INFORMATION process{};
  // The run shares the console: Ctrl-C reaches it directly, once.
  const BOOL started = CreateProcessW(self, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                      nullptr, &startup, &process);
  CloseHandle(outWrite);
  CloseHandle(errWrite);
  if (!started) return nullptr;
  CloseHandle(process.hThread);
  handles->process = process.hProcess;
  return std::unique_ptr<Subprocess>(new Subprocess(std::move(handles)));
}

bool Subprocess::collect(std::string* out, std::string* err) {
  drain(handles_->out, out);
  drain(handles_->err, err);
  return handles_->out != nullptr || handles_->err != nullptr;
}

int Subprocess::exitStatus() {
  if (handles_->status >= 0) return handles_->status;
  DWORD code = 0;
  if (!GetExitCodeProcess(handles_->process, &code) || code == STILL_ACTIVE) return -1;
  handles_->status = static_cast<int>(code);
  return handles_->status;
}

// There is no SIGTERM to pass on: the console's Ctrl-C reaches every run.
void Subprocess::terminate() {}

void Subprocess::waitForAny(const std::vector<Subprocess*>&, int timeoutMs) {
  // Anonymous pipes cannot be waited on together; a short sleep between
  // looks costs little beside an update's exchanges.
  Sleep(static_cast<DWORD>(timeoutMs < 20 ? timeoutMs : 20));
}
