// The one seam between the HID device layer and the operating system.
//
// Everything above it (HidDevice, CHidManager, sendTransaction, the command
// set) is written once; below it sit the hidraw backend, the Windows backend
// and the in-process simulated device. Time and sleeping go through it too, so
// that waits of seconds can be tested against a virtual clock.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

/// Outcome of one bounded wait for a report transfer.
enum HidWaitResult : uint8_t {
  kHidWaitDone = 0,     ///< the transfer completed in time
  kHidWaitTimeout = 1,  ///< the deadline passed; the transfer may still be pending
  kHidWaitFailed = 2,   ///< the wait or the transfer failed otherwise (device gone, I/O error)
};

/// Where a write stands that writeReport gave up on (it returned
/// kHidWaitTimeout) while the system still held it: a USB device's report
/// goes out only once the device takes it, and nothing can call it back.
enum HidHeldWrite : uint8_t {
  kHidNoHeldWrite = 0,       ///< none; or it was taken and that has been told
  kHidWriteHeld = 1,         ///< the system still holds it
  kHidHeldWriteTaken = 2,    ///< the device has taken it since (told once)
  kHidHeldWriteRefused = 3,  ///< the system's own wait for it ran out: never taken
  kHidHeldWriteFailed = 4,   ///< it ended otherwise, untaken (the device went away)
};

/// Why an open failed; only kHidOpenDenied is reported to the operator.
enum HidOpenError : uint8_t {
  kHidOpenOk = 0,
  kHidOpenNotFound = 1,
  kHidOpenDenied = 2,  ///< the interface exists but this user may not open it
  kHidOpenFailed = 3,
};

/// What an interface is opened for: reading what it is, or the transfers of
/// a device that matched.
enum HidOpenPurpose : uint8_t {
  kHidOpenToIdentify = 0,
  kHidOpenForTransfers = 1,
};

/// The pair of a top-level application collection that tavrin talks to.
constexpr uint16_t kTavrinUsagePage = 0x8C;
constexpr uint16_t kTavrinUsage = 0x01;

/// What can be learnt about an interface without opening it for I/O.
struct HidInterfaceInfo {
  std::string path;     ///< the identity used by the device list
  std::string node;     ///< what an operator recognises (/dev/hidraw2, or the path)
  std::string product;  ///< product string, empty when the platform has none
  std::string port;     ///< where it is plugged in, stable through a restart; may be empty
  std::string serial;   ///< its serial number, empty when it has none
  uint16_t vendorId = 0;
  uint16_t productId = 0;
  uint16_t usagePage = 0;  ///< 0x8C/0x01 when any top-level collection has that pair
  uint16_t usage = 0;
};

/// One open interface. Reports are kReportSize bytes with the report id first.
class HidConnection {
 public:
  virtual ~HidConnection() = default;

  /// Fills the vendor and product identifiers; false when they cannot be read.
  virtual bool readAttributes(uint16_t* vendorId, uint16_t* productId) = 0;
  /// Fills the usage page and usage of the top-level collection this interface
  /// stands for (the 0x8C/0x01 one when the interface carries several).
  virtual bool readCaps(uint16_t* usagePage, uint16_t* usage) = 0;
  /// Discards input reports that arrived before now. Never blocks.
  virtual void flushInput() = 0;
  /// Writes one output report and waits at most timeoutMs for it to be taken.
  /// While an earlier write is held it writes nothing until that one has
  /// ended, and only within the same wait: reports never overtake each other
  /// and never queue up behind a held one.
  virtual HidWaitResult writeReport(const uint8_t* report, uint32_t timeoutMs) = 0;
  /// One request and its answer: writes request as writeReport does and,
  /// once the device has taken it, waits for one input report as readReport
  /// does (id response[0]), each within timeoutMs. *written tells whether the
  /// write completed; the result is the write's when it did not, else the
  /// read's. A connection whose writes are done elsewhere waits for both at
  /// once, and saves a wake-up per exchange.
  virtual HidWaitResult exchangeReports(const uint8_t* request, uint8_t* response,
                                        uint32_t timeoutMs, uint32_t* immediateCount,
                                        bool* written) {
    *written = false;
    *immediateCount = 0;
    const HidWaitResult wait = writeReport(request, timeoutMs);
    if (wait != kHidWaitDone) return wait;
    *written = true;
    return readReport(response, timeoutMs, immediateCount);
  }
  /// Waits at most timeoutMs for a held write to end (not at all when none is
  /// held) and says where it stands; report (kReportSize bytes) receives the
  /// held report unless kHidNoHeldWrite. A refused or failed write is told
  /// until the next writeReport. Where the system ends every write within
  /// writeReport's wait, nothing is ever held.
  virtual HidHeldWrite heldWrite(uint32_t /*timeoutMs*/, uint8_t* /*report*/) {
    return kHidNoHeldWrite;
  }
  /// Waits at most timeoutMs for one input report with id report[0] (the
  /// caller presets it) and stores it in report[0..kReportSize). Reports with
  /// other ids are skipped. *immediateCount receives the byte count when the
  /// report was already waiting, else 0. report is untouched on failure.
  virtual HidWaitResult readReport(uint8_t* report, uint32_t timeoutMs,
                                   uint32_t* immediateCount) = 0;
  /// Abandons a transfer whose wait failed. Safe when nothing is pending.
  virtual void cancelIo() = 0;
  /// The system's words for why the last writeReport or readReport failed
  /// (errno's or GetLastError's text), for --verbose and the log; empty when
  /// it succeeded, timed out, or the system gave no reason. Each connection
  /// keeps its own.
  virtual std::string lastError() const { return {}; }
};

/// Operating-system access for the HID device layer.
class HidPlatform {
 public:
  virtual ~HidPlatform() = default;

  /// Paths of every present HID interface, in enumeration order. False when the
  /// set of interfaces cannot be had at all (paths stays as it was).
  virtual bool enumerateInterfaces(std::vector<std::string>* paths) = 0;
  /// Query-only probe: does the interface at path still exist?
  virtual bool isPresent(const std::string& path) = 0;
  /// Opens path for reading and writing, for the given purpose. Returns null
  /// and sets *error when it cannot, and *errorText (when given) to the
  /// system's words for why (empty when it gave none).
  virtual std::unique_ptr<HidConnection> open(const std::string& path, HidOpenPurpose purpose,
                                              HidOpenError* error, std::string* errorText) = 0;
  /// Reads what an interface is without opening it for I/O (for the listing
  /// and for telling the operator which node lacks permission).
  virtual bool describe(const std::string& path, HidInterfaceInfo* info) = 0;

  /// How to grant access to an interface, as one clause for the operator.
  virtual const char* permissionAdvice() const = 0;

  /// Milliseconds of a clock that never goes back.
  virtual int64_t monotonicMilliseconds() = 0;
  /// Blocks the thread for ms milliseconds (a virtual clock just advances).
  virtual void sleepMilliseconds(uint32_t ms) = 0;

  /// Waits at most timeoutMs for an interface to come or go, and says whether
  /// the set of interfaces may have changed since the last call (then the
  /// caller enumerates again). A backend told of changes by the system
  /// returns as soon as one comes; this one sleeps and answers true: a
  /// bounded poll. For one watching thread at a time.
  virtual bool waitForChange(uint32_t timeoutMs) {
    sleepMilliseconds(timeoutMs);
    return true;
  }
  /// How waitForChange learns of changes, for the log ("polling" here);
  /// known once it has been called.
  virtual const char* changeSource() const { return "polling"; }
};

/// A backend for the system tavrin was built for (hidraw or Windows HID).
/// Whoever runs an operation makes one and hands it down.
std::unique_ptr<HidPlatform> createNativeHidPlatform();
