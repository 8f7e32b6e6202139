// The Windows backend: SetupAPI enumeration, the HID class driver's queries and
// overlapped file I/O. The only file that includes <windows.h>.
#include "hid/hid_platform.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
// <windows.h> must come first.
// clang-format off
#include <windows.h>
#include <setupapi.h>
#include <cfgmgr32.h>
#include <dbt.h>
extern "C" {
#include <hidsdi.h>
#include <hidpi.h>
}
// clang-format on

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "common/utf16.h"
#include "hid/device_identity.h"
#include "protocol/frame_format.h"

namespace {

constexpr DWORD kShareMode = FILE_SHARE_READ | FILE_SHARE_WRITE;
// An enumeration that keeps failing with errors other than "no more items"
// must still end.
constexpr DWORD kMaxInterfaceIndex = 65536;
// Device interface paths are a few hundred characters at most.
constexpr DWORD kMaxDetailBytes = 64 * 1024;
// HidD_GetProductString takes at most 126 wide characters plus the zero.
constexpr ULONG kProductStringBytes = 127 * sizeof(wchar_t);

// A device node's registry property as bytes ("" when it has none).
std::string nodeProperty(DEVINST node, ULONG property) {
  char buffer[2048] = {};
  ULONG size = sizeof buffer - 2;
  ULONG type = 0;
  if (CM_Get_DevNode_Registry_PropertyA(node, property, &type, buffer, &size, 0) != CR_SUCCESS)
    return {};
  return std::string(buffer, std::min<ULONG>(size, sizeof buffer - 2));
}

// The port of the interface at path: the location of the USB device above
// its HID device node.
std::string interfacePort(const std::string& path) {
  GUID hidGuid;
  HidD_GetHidGuid(&hidGuid);
  HDEVINFO set = SetupDiCreateDeviceInfoList(&hidGuid, nullptr);
  if (set == INVALID_HANDLE_VALUE) return {};
  std::string port;
  SP_DEVICE_INTERFACE_DATA data{};
  data.cbSize = sizeof data;
  SP_DEVINFO_DATA device{};
  device.cbSize = sizeof device;
  if (SetupDiOpenDeviceInterfaceA(set, path.c_str(), 0, &data) &&
      (SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, nullptr, &device) ||
       GetLastError() == ERROR_INSUFFICIENT_BUFFER)) {
    DEVINST node = device.DevInst;
    // The HID device, then the USB function or device: the first with a location.
    for (int up = 0; up < 3 && port.empty(); ++up) {
      DEVINST parent = 0;
      if (CM_Get_Parent(&parent, node, 0) != CR_SUCCESS) break;
      node = parent;
      port = windowsInterfacePort(nodeProperty(node, CM_DRP_LOCATION_PATHS),
                                  nodeProperty(node, CM_DRP_LOCATION_INFORMATION));
    }
  }
  SetupDiDestroyDeviceInfoList(set);
  return port;
}

// The system's words for an error code, in UTF-8 like all text in tavrin:
// English where the system has it, and the code itself.
std::string systemErrorText(DWORD code) {
  wchar_t* text = nullptr;
  const DWORD flags =
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
  DWORD length = FormatMessageW(flags, nullptr, code, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US),
                                reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  if (length == 0)
    length = FormatMessageW(flags, nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::string words;
  if (length != 0 && text != nullptr)
    words = utf8FromUtf16(std::u16string(text, text + length));
  if (text != nullptr) LocalFree(text);
  // The text ends with a line end (and mostly a full stop): one line it is.
  while (!words.empty() && (words.back() == '\n' || words.back() == '\r' ||
                            words.back() == ' ' || words.back() == '.'))
    words.pop_back();
  return (words.empty() ? "error" : words) + " (" + std::to_string(code) + ")";
}

HidOpenError openErrorFromLastError(DWORD code) {
  switch (code) {
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
      return kHidOpenDenied;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_DEVICE_NOT_CONNECTED:
      return kHidOpenNotFound;
    default:
      return kHidOpenFailed;
  }
}

// Time a cancelled transfer gets to come back from the driver.
constexpr DWORD kCancelWaitMs = 1000;

// The record and buffer of one overlapped transfer, which the driver writes
// into until the transfer completes.
struct Transfer {
  OVERLAPPED overlapped{};
  std::vector<uint8_t> data;
};

// One overlapped transfer of *data (written from it, or read into it) with its
// own event, waited for at most timeoutMs. A transfer whose wait fails is
// cancelled and given kCancelWaitMs to come back; one the driver still holds
// after that is left to it, never freed, because it may yet be written into.
// *error receives the system's code of a failure (0 for a time-out).
HidWaitResult overlappedTransfer(HANDLE handle, bool write, std::vector<uint8_t>* data,
                                 DWORD timeoutMs, DWORD* transferred, bool* completedAtOnce,
                                 DWORD* error) {
  *transferred = 0;
  *completedAtOnce = false;
  *error = 0;
  auto transfer = std::make_unique<Transfer>();
  transfer->data = *data;
  OVERLAPPED& overlapped = transfer->overlapped;
  overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (overlapped.hEvent == nullptr) {
    *error = GetLastError();
    return kHidWaitFailed;
  }
  const DWORD length = static_cast<DWORD>(transfer->data.size());
  BOOL started = write ? WriteFile(handle, transfer->data.data(), length, nullptr, &overlapped)
                       : ReadFile(handle, transfer->data.data(), length, nullptr, &overlapped);
  // A transfer that fails at once (device gone) is a failure, not a success
  // signalled by an event nobody reset.
  if (!started && GetLastError() != ERROR_IO_PENDING) {
    *error = GetLastError();
    CloseHandle(overlapped.hEvent);
    return kHidWaitFailed;
  }
  const DWORD wait = WaitForSingleObject(overlapped.hEvent, timeoutMs);
  if (wait == WAIT_OBJECT_0) {
    HidWaitResult result = kHidWaitDone;
    if (!GetOverlappedResult(handle, &overlapped, transferred, FALSE)) {
      *error = GetLastError();
      result = kHidWaitFailed;
    }
    if (result == kHidWaitDone) {
      *completedAtOnce = started != FALSE;
      if (!write) *data = transfer->data;
    }
    CloseHandle(overlapped.hEvent);
    return result;
  }
  if (wait != WAIT_TIMEOUT) *error = GetLastError();
  CancelIo(handle);
  // The event is set only after the driver has finished with the record.
  if (WaitForSingleObject(overlapped.hEvent, kCancelWaitMs) == WAIT_OBJECT_0)
    CloseHandle(overlapped.hEvent);
  else
    static_cast<void>(transfer.release());
  return wait == WAIT_TIMEOUT ? kHidWaitTimeout : kHidWaitFailed;
}

class WinHidConnection : public HidConnection {
 public:
  explicit WinHidConnection(HANDLE handle) : handle_(handle) {}
  ~WinHidConnection() override {
    if (preparsed_ != nullptr) HidD_FreePreparsedData(preparsed_);
    preparsed_ = nullptr;
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
  }
  WinHidConnection(const WinHidConnection&) = delete;
  WinHidConnection& operator=(const WinHidConnection&) = delete;

  bool readAttributes(uint16_t* vendorId, uint16_t* productId) override {
    HIDD_ATTRIBUTES attributes{};
    attributes.Size = sizeof attributes;
    if (!HidD_GetAttributes(handle_, &attributes)) return false;
    *vendorId = attributes.VendorID;
    *productId = attributes.ProductID;
    return true;
  }

  bool readCaps(uint16_t* usagePage, uint16_t* usage) override {
    HIDP_CAPS caps{};
    if (!loadCaps(&caps)) return false;
    *usagePage = caps.UsagePage;
    *usage = caps.Usage;
    return true;
  }

  void flushInput() override { HidD_FlushQueue(handle_); }

  HidWaitResult writeReport(const uint8_t* report, uint32_t timeoutMs) override {
    // The driver wants whole reports of the collection's declared length.
    std::vector<uint8_t> buffer(std::max<size_t>(kReportSize, outputLength()), 0);
    std::memcpy(buffer.data(), report, kReportSize);
    DWORD written = 0;
    bool atOnce = false;
    return kept(overlappedTransfer(handle_, true, &buffer, timeoutMs, &written, &atOnce, &error_));
  }

  HidWaitResult readReport(uint8_t* report, uint32_t timeoutMs, uint32_t* immediateCount) override {
    *immediateCount = 0;
    error_ = 0;
    std::vector<uint8_t> buffer(std::max<size_t>(kReportSize, inputLength()), 0);
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    bool first = true;
    for (;;) {
      ULONGLONG now = GetTickCount64();
      if (now >= deadline) return kHidWaitTimeout;
      DWORD count = 0;
      bool atOnce = false;
      HidWaitResult result = overlappedTransfer(
          handle_, false, &buffer, static_cast<DWORD>(deadline - now), &count, &atOnce, &error_);
      if (result != kHidWaitDone) return kept(result);
      if (count > 0 && buffer[0] == report[0]) {
        size_t copied = std::min<size_t>(count, kReportSize);
        std::memcpy(report, buffer.data(), copied);
        std::memset(report + copied, 0, kReportSize - copied);
        if (first && atOnce) *immediateCount = count;
        return kHidWaitDone;
      }
      first = false;
    }
  }

  void cancelIo() override { CancelIo(handle_); }

  std::string lastError() const override {
    return error_ == 0 ? std::string() : systemErrorText(error_);
  }

 private:
  // A transfer's outcome; the code of a failure stays for lastError().
  HidWaitResult kept(HidWaitResult result) {
    if (result != kHidWaitFailed) error_ = 0;
    return result;
  }

  bool loadCaps(HIDP_CAPS* caps) {
    if (preparsed_ == nullptr && !HidD_GetPreparsedData(handle_, &preparsed_)) {
      preparsed_ = nullptr;
      return false;
    }
    return HidP_GetCaps(preparsed_, caps) == HIDP_STATUS_SUCCESS;
  }
  size_t inputLength() {
    HIDP_CAPS caps{};
    return loadCaps(&caps) ? caps.InputReportByteLength : kReportSize;
  }
  size_t outputLength() {
    HIDP_CAPS caps{};
    return loadCaps(&caps) ? caps.OutputReportByteLength : kReportSize;
  }

  HANDLE handle_;
  PHIDP_PREPARSED_DATA preparsed_ = nullptr;
  DWORD error_ = 0;  // the system's code for the last failed transfer
};

// Told of HID interfaces that arrive or leave: a message-only window that
// asked for the HID class's device-interface notifications. It belongs to the
// thread that made it, which must be the one that waits.
class ArrivalWindow {
 public:
  ~ArrivalWindow() {
    if (notification_ != nullptr) UnregisterDeviceNotification(notification_);
    if (window_ != nullptr) DestroyWindow(window_);
  }

  /// False when the system offers no notifications (the caller then polls).
  bool open() {
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = &ArrivalWindow::procedure;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"tavrin-arrivals";
    // A second platform in the process finds the class registered already.
    if (RegisterClassExW(&windowClass) == 0 && GetLastError() != ERROR_CLASS_ALREADY_EXISTS)
      return false;
    window_ = CreateWindowExW(0, L"tavrin-arrivals", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                              windowClass.hInstance, nullptr);
    if (window_ == nullptr) return false;
    SetWindowLongPtrW(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    DEV_BROADCAST_DEVICEINTERFACE_W filter{};
    filter.dbcc_size = sizeof filter;
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    HidD_GetHidGuid(&filter.dbcc_classguid);
    notification_ = RegisterDeviceNotificationW(window_, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
    return notification_ != nullptr;
  }

  /// Handles the messages that wait, for at most timeoutMs; true when one
  /// told of an arrival or a removal.
  bool wait(uint32_t timeoutMs) {
    changed_ = false;
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (;;) {
      MSG message;
      while (PeekMessageW(&message, window_, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
      const ULONGLONG now = GetTickCount64();
      if (changed_ || now >= deadline) return changed_;
      MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(deadline - now), QS_ALLINPUT);
    }
  }

 private:
  static LRESULT CALLBACK procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_DEVICECHANGE &&
        (wparam == DBT_DEVICEARRIVAL || wparam == DBT_DEVICEREMOVECOMPLETE)) {
      auto* self = reinterpret_cast<ArrivalWindow*>(GetWindowLongPtrW(window, GWLP_USERDATA));
      if (self != nullptr) self->changed_ = true;
      return TRUE;
    }
    return DefWindowProcW(window, message, wparam, lparam);
  }

  HWND window_ = nullptr;
  HDEVNOTIFY notification_ = nullptr;
  bool changed_ = false;
};

class WinHidPlatform : public HidPlatform {
 public:
  bool enumerateInterfaces(std::vector<std::string>* paths) override {
    GUID hidGuid;
    HidD_GetHidGuid(&hidGuid);
    HDEVINFO set =
        SetupDiGetClassDevsA(&hidGuid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) return false;
    paths->clear();
    for (DWORD index = 0; index < kMaxInterfaceIndex; ++index) {
      SP_DEVICE_INTERFACE_DATA data{};
      data.cbSize = sizeof data;
      if (!SetupDiEnumDeviceInterfaces(set, nullptr, &hidGuid, index, &data)) {
        if (GetLastError() == ERROR_NO_MORE_ITEMS) break;
        continue;
      }
      DWORD required = 0;
      SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &required, nullptr);
      // A size that cannot even hold the fixed part would be written past; one
      // far beyond any device path is not worth an allocation that may fail.
      if (required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) || required > kMaxDetailBytes) break;
      std::vector<DWORD> storage((required + sizeof(DWORD) - 1) / sizeof(DWORD) + 1, 0);
      auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(storage.data());
      detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
      if (!SetupDiGetDeviceInterfaceDetailA(set, &data, detail, required, nullptr, nullptr)) break;
      // The path ends within the buffer: storage has a zeroed word past required.
      paths->push_back(detail->DevicePath);
    }
    SetupDiDestroyDeviceInfoList(set);
    return true;
  }

  bool isPresent(const std::string& path) override {
    HANDLE probe = CreateFileA(path.c_str(), 0, kShareMode, nullptr, OPEN_EXISTING, 0, nullptr);
    if (probe == INVALID_HANDLE_VALUE) return false;
    CloseHandle(probe);
    return true;
  }

  std::unique_ptr<HidConnection> open(const std::string& path, HidOpenPurpose purpose,
                                      HidOpenError* error, std::string* errorText) override {
    if (errorText != nullptr) errorText->clear();
    HANDLE handle =
        CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, kShareMode, nullptr, OPEN_EXISTING,
                    purpose == kHidOpenForTransfers ? FILE_FLAG_OVERLAPPED : 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
      const DWORD code = GetLastError();
      *error = openErrorFromLastError(code);
      if (errorText != nullptr) *errorText = systemErrorText(code);
      return nullptr;
    }
    *error = kHidOpenOk;
    return std::make_unique<WinHidConnection>(handle);
  }

  bool describe(const std::string& path, HidInterfaceInfo* info) override {
    // No access rights are needed for the attributes, the collection and the
    // product string, so even interfaces the system holds exclusively answer.
    HANDLE handle = CreateFileA(path.c_str(), 0, kShareMode, nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return false;
    WinHidConnection connection(handle);
    HidInterfaceInfo result;
    result.path = path;
    result.node = path;
    if (!connection.readAttributes(&result.vendorId, &result.productId) ||
        !connection.readCaps(&result.usagePage, &result.usage))
      return false;
    // Both strings become UTF-8, as everywhere in tavrin, whatever the
    // system's ANSI code page.
    wchar_t product[kProductStringBytes / sizeof(wchar_t) + 1] = {};
    if (HidD_GetProductString(handle, product, kProductStringBytes))
      result.product = utf8FromUtf16(std::u16string(product, product + wcslen(product)));
    wchar_t serial[kProductStringBytes / sizeof(wchar_t) + 1] = {};
    if (HidD_GetSerialNumberString(handle, serial, kProductStringBytes))
      result.serial = utf8FromUtf16(std::u16string(serial, serial + wcslen(serial)));
    result.port = interfacePort(path);
    *info = std::move(result);
    return true;
  }

  const char* permissionAdvice() const override {
    return "close programs that hold the device open, or run tavrin as administrator";
  }

  int64_t monotonicMilliseconds() override { return static_cast<int64_t>(GetTickCount64()); }
  void sleepMilliseconds(uint32_t ms) override { Sleep(ms); }

  bool waitForChange(uint32_t timeoutMs) override {
    if (!arrivalsTried_) {
      arrivalsTried_ = true;
      arrivals_ = std::make_unique<ArrivalWindow>();
      if (!arrivals_->open()) arrivals_.reset();
      // Whatever came before the window listened is unknown.
      return true;
    }
    if (arrivals_ == nullptr) return HidPlatform::waitForChange(timeoutMs);
    return arrivals_->wait(timeoutMs);
  }
  const char* changeSource() const override {
    return arrivals_ != nullptr ? "device notifications" : "polling";
  }

 private:
  std::unique_ptr<ArrivalWindow> arrivals_;
  bool arrivalsTried_ = false;
};

}  // namespace

std::unique_ptr<HidPlatform> createNativeHidPlatform() {
  return std::make_unique<WinHidPlatform>();
}
