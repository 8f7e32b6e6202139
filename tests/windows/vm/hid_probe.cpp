// hid_probe: what the Windows HID stack shows of the machine's HID interfaces,
// for the tests that run tavrin.exe against real devices.
//
//   hid_probe count                 number of present HID interfaces
//   hid_probe wait N SECONDS        waits until exactly N are present and each
//                                   answers HidD_GetAttributes; status 1 when
//                                   SECONDS pass first
//   hid_probe show                  one block per interface: path, ids,
//                                   capabilities, strings and the SetupAPI
//                                   properties of its device and of its parent
//
// The listing is what tavrin's backend uses (SetupDiGetClassDevs with the HID
// class interface), so "present" here is what tavrin will find. count and wait
// leave out Wine's own virtual mouse and keyboard (vendor 845e), which every
// Wine session has.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
// clang-format off
#include <windows.h>
#include <setupapi.h>
#include <cfgmgr32.h>
extern "C" {
#include <hidsdi.h>
#include <hidpi.h>
}
// clang-format on

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Interface {
  std::string path;
  std::string instanceId;
  SP_DEVINFO_DATA device{};
};

// Every present HID interface; set stays open for the device properties.
std::vector<Interface> listInterfaces(HDEVINFO* set) {
  std::vector<Interface> result;
  GUID hidGuid;
  HidD_GetHidGuid(&hidGuid);
  *set = SetupDiGetClassDevsA(&hidGuid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (*set == INVALID_HANDLE_VALUE) return result;
  for (DWORD index = 0; index < 1024; ++index) {
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    if (!SetupDiEnumDeviceInterfaces(*set, nullptr, &hidGuid, index, &data)) break;
    DWORD required = 0;
    SetupDiGetDeviceInterfaceDetailA(*set, &data, nullptr, 0, &required, nullptr);
    if (required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) || required > 65536) continue;
    std::vector<DWORD> storage(required / sizeof(DWORD) + 2, 0);
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(storage.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    Interface entry;
    entry.device.cbSize = sizeof entry.device;
    if (!SetupDiGetDeviceInterfaceDetailA(*set, &data, detail, required, nullptr, &entry.device))
      continue;
    entry.path = detail->DevicePath;
    char id[MAX_DEVICE_ID_LEN + 1] = {};
    if (SetupDiGetDeviceInstanceIdA(*set, &entry.device, id, sizeof id, nullptr))
      entry.instanceId = id;
    result.push_back(entry);
  }
  return result;
}

bool answersAttributes(const std::string& path) {
  HANDLE handle = CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  HIDD_ATTRIBUTES attributes{};
  attributes.Size = sizeof attributes;
  bool ok = HidD_GetAttributes(handle, &attributes) != FALSE;
  CloseHandle(handle);
  return ok;
}

// A HidD_Get*String result as UTF-8, or its failure with the error code.
template <typename Getter>
std::string hidString(HANDLE handle, Getter getter) {
  wchar_t text[256] = {};
  if (!getter(handle, text, sizeof text - sizeof(wchar_t)))
    return "(fails, error " + std::to_string(GetLastError()) + ")";
  char utf8[1024] = {};
  WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, sizeof utf8 - 1, nullptr, nullptr);
  return "\"" + std::string(utf8) + "\"";
}

// A registry property of a device: strings quoted, multi-strings as a list.
std::string deviceProperty(HDEVINFO set, SP_DEVINFO_DATA* device, DWORD property) {
  DWORD type = 0;
  DWORD required = 0;
  std::vector<wchar_t> buffer(1024, 0);
  SetLastError(0);
  if (!SetupDiGetDeviceRegistryPropertyW(
          set, device, property, &type, reinterpret_cast<BYTE*>(buffer.data()),
          static_cast<DWORD>((buffer.size() - 2) * sizeof(wchar_t)), &required))
    return "(fails, error " + std::to_string(GetLastError()) + ")";
  std::string out;
  const wchar_t* at = buffer.data();
  do {
    char utf8[2048] = {};
    WideCharToMultiByte(CP_UTF8, 0, at, -1, utf8, sizeof utf8 - 1, nullptr, nullptr);
    if (!out.empty()) out += ", ";
    out += "\"" + std::string(utf8) + "\"";
    at += wcslen(at) + 1;
  } while (type == REG_MULTI_SZ && *at != L'\0');
  return out;
}

void showProperties(const char* indent, HDEVINFO set, SP_DEVINFO_DATA* device) {
  std::printf("%slocation paths: %s\n", indent,
              deviceProperty(set, device, SPDRP_LOCATION_PATHS).c_str());
  std::printf("%slocation information: %s\n", indent,
              deviceProperty(set, device, SPDRP_LOCATION_INFORMATION).c_str());
  std::printf("%shardware ids: %s\n", indent,
              deviceProperty(set, device, SPDRP_HARDWAREID).c_str());
  std::printf("%sdevice description: %s\n", indent,
              deviceProperty(set, device, SPDRP_DEVICEDESC).c_str());
}

void show() {
  HDEVINFO set = INVALID_HANDLE_VALUE;
  std::vector<Interface> interfaces = listInterfaces(&set);
  std::printf("%zu interface(s)\n", interfaces.size());
  for (Interface& entry : interfaces) {
    std::printf("path: %s\n", entry.path.c_str());
    std::printf("  instance id: %s\n", entry.instanceId.c_str());
    HANDLE handle = CreateFileA(entry.path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
      std::printf("  open fails, error %lu\n", GetLastError());
    } else {
      HIDD_ATTRIBUTES attributes{};
      attributes.Size = sizeof attributes;
      if (HidD_GetAttributes(handle, &attributes))
        std::printf("  ids: %04x:%04x version %04x\n", attributes.VendorID, attributes.ProductID,
                    attributes.VersionNumber);
      PHIDP_PREPARSED_DATA preparsed = nullptr;
      HIDP_CAPS caps{};
      if (HidD_GetPreparsedData(handle, &preparsed) &&
          HidP_GetCaps(preparsed, &caps) == HIDP_STATUS_SUCCESS)
        std::printf("  collection: usage page %04x usage %04x, input %u output %u feature %u\n",
                    caps.UsagePage, caps.Usage, caps.InputReportByteLength,
                    caps.OutputReportByteLength, caps.FeatureReportByteLength);
      if (preparsed != nullptr) HidD_FreePreparsedData(preparsed);
      std::printf("  product string: %s\n", hidString(handle, HidD_GetProductString).c_str());
      std::printf("  manufacturer string: %s\n",
                  hidString(handle, HidD_GetManufacturerString).c_str());
      std::printf("  serial number string: %s\n",
                  hidString(handle, HidD_GetSerialNumberString).c_str());
      CloseHandle(handle);
    }
    std::printf("  device:\n");
    showProperties("    ", set, &entry.device);
    DEVINST parent = 0;
    char parentId[MAX_DEVICE_ID_LEN + 1] = {};
    if (CM_Get_Parent(&parent, entry.device.DevInst, 0) == CR_SUCCESS &&
        CM_Get_Device_IDA(parent, parentId, sizeof parentId, 0) == CR_SUCCESS) {
      std::printf("  parent: %s\n", parentId);
      HDEVINFO parentSet = SetupDiCreateDeviceInfoList(nullptr, nullptr);
      SP_DEVINFO_DATA parentData{};
      parentData.cbSize = sizeof parentData;
      if (parentSet != INVALID_HANDLE_VALUE &&
          SetupDiOpenDeviceInfoA(parentSet, parentId, nullptr, 0, &parentData))
        showProperties("    ", parentSet, &parentData);
      if (parentSet != INVALID_HANDLE_VALUE) SetupDiDestroyDeviceInfoList(parentSet);
    } else {
      std::printf("  parent: (CM_Get_Parent fails)\n");
    }
  }
  if (set != INVALID_HANDLE_VALUE) SetupDiDestroyDeviceInfoList(set);
  // The bus devices the HID interfaces stand on, found by their enumerator
  // when the parent link cannot be followed.
  for (const char* bus : {"WINEBUS", "USB"}) {
    HDEVINFO devices =
        SetupDiGetClassDevsA(nullptr, bus, nullptr, DIGCF_ALLCLASSES | DIGCF_PRESENT);
    if (devices == INVALID_HANDLE_VALUE) continue;
    for (DWORD index = 0; index < 1024; ++index) {
      SP_DEVINFO_DATA device{};
      device.cbSize = sizeof device;
      if (!SetupDiEnumDeviceInfo(devices, index, &device)) break;
      char id[MAX_DEVICE_ID_LEN + 1] = {};
      SetupDiGetDeviceInstanceIdA(devices, &device, id, sizeof id, nullptr);
      std::printf("%s device: %s\n", bus, id);
      showProperties("    ", devices, &device);
    }
    SetupDiDestroyDeviceInfoList(devices);
  }
}

bool isWineOwn(const Interface& entry) {
  return entry.instanceId.find("VID_845E&") != std::string::npos;
}

size_t count(bool requireAttributes) {
  HDEVINFO set = INVALID_HANDLE_VALUE;
  std::vector<Interface> interfaces = listInterfaces(&set);
  if (set != INVALID_HANDLE_VALUE) SetupDiDestroyDeviceInfoList(set);
  size_t n = 0;
  for (const Interface& entry : interfaces)
    if (!isWineOwn(entry) && (!requireAttributes || answersAttributes(entry.path))) ++n;
  return n;
}

int usage() {
  std::fprintf(stderr, "usage: hid_probe count | wait N SECONDS | show\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage();
  std::string command = argv[1];
  if (command == "count" && argc == 2) {
    std::printf("%zu\n", count(false));
    return 0;
  }
  if (command == "show" && argc == 2) {
    show();
    return 0;
  }
  if (command == "wait" && argc == 4) {
    const size_t wanted = std::strtoul(argv[2], nullptr, 10);
    const ULONGLONG deadline = GetTickCount64() + std::strtoul(argv[3], nullptr, 10) * 1000;
    size_t seen = 0;
    for (;;) {
      // Listed and not yet answering, or gone from the list but still
      // answering: both settle within a moment.
      const size_t listed = count(false);
      seen = listed == wanted ? count(true) : listed;
      if (seen == wanted && count(false) == wanted) return 0;
      if (GetTickCount64() >= deadline) break;
      Sleep(50);
    }
    std::fprintf(stderr, "hid_probe: %zu interface(s), expected %zu\n", seen, wanted);
    return 1;
  }
  return usage();
}
