// What the C interface reads without updating: the interfaces of the kind,
// a firmware file, the devices' versions.
#include <type_traits>

#include "api/handles.h"
#include "hid/hid_manager.h"
#include "hid/interface_list.h"
#include "image/image_loader.h"
#include "common/sha256.h"
#include "update/device_survey.h"
#include "update/session_listener.h"
#include "update/update_image.h"
#include "update/update_result.h"

struct tavrin_interface_list {
  TextStore texts;
  std::vector<std::unique_ptr<tavrin_interface>> items;
};

struct tavrin_version_list {
  TextStore texts;
  std::vector<std::unique_ptr<tavrin_device_version>> items;
};

// The caller holds a pointer to info and frees the record through it, so
// info comes first in a record of standard layout.
struct FileInfoRecord {
  FileInfoRecord() = default;
  ~FileInfoRecord() { delete texts; }
  FileInfoRecord(const FileInfoRecord&) = delete;
  FileInfoRecord& operator=(const FileInfoRecord&) = delete;
  tavrin_file_info info{};
  TextStore* texts = new TextStore;
};
static_assert(std::is_standard_layout_v<FileInfoRecord>);

namespace {

// Collects the load failure's messages as the console would show them.
class MessageCollector : public SessionListener {
 public:
  void message(const char* text) override { text_ += text; }
  const std::string& text() const { return text_; }

 private:
  std::string text_;
};

// Keeps every version answer, in the order of the listing.
class VersionCollector : public SessionListener {
 public:
  explicit VersionCollector(tavrin_version_list& list) : list_(list) {}
  void versionAnswered(const HidDevice& device, TransactionStatus status, const std::string& model,
                       const std::string& version) override {
    auto item = std::make_unique<tavrin_device_version>();
    TextStore& texts = list_.texts;
    item->path = texts.keep(device.path);
    item->port = texts.keep(device.port);
    item->serial = texts.keep(device.serial);
    item->mode = device.mode == kModeBootloader ? "bootloader" : "application";
    item->ok = status == kTransactionOk ? 1 : 0;
    item->reason = status == kTransactionOk        ? ""
                   : status == kTransactionTimeout ? "no-answer"
                                                   : "failed";
    item->model = texts.keep(model);
    item->version = texts.keep(version);
    list_.items.push_back(std::move(item));
  }

 private:
  tavrin_version_list& list_;
};

}  // namespace

extern "C" {

const char* tavrin_version(void) { return TAVRIN_VERSION; }

tavrin_interface_list* tavrin_list_interfaces(tavrin_platform* platform, const tavrin_ids* ids) {
  return guarded<tavrin_interface_list*>(nullptr, [&]() -> tavrin_interface_list* {
    std::unique_ptr<HidPlatform> owned;
    HidPlatform* hid = platformFor(platform, &owned);
    if (hid == nullptr) return nullptr;
    auto list = std::make_unique<tavrin_interface_list>();
    for (const ListedInterface& entry : listInterfacesOfKind(filterOf(ids), *hid)) {
      auto item = std::make_unique<tavrin_interface>();
      TextStore& texts = list->texts;
      item->node = texts.keep(entry.info.node);
      item->path = texts.keep(entry.info.path);
      item->product = texts.keep(entry.info.product);
      item->port = texts.keep(entry.info.port);
      item->serial = texts.keep(entry.info.serial);
      item->match = deviceModeName(entry.mode);
      item->vendor_id = entry.info.vendorId;
      item->product_id = entry.info.productId;
      item->access_denied = entry.denied ? 1 : 0;
      list->items.push_back(std::move(item));
    }
    return list.release();
  });
}

size_t tavrin_interface_list_count(const tavrin_interface_list* list) {
  return list != nullptr ? list->items.size() : 0;
}

const tavrin_interface* tavrin_interface_list_get(const tavrin_interface_list* list, size_t index) {
  return list != nullptr && index < list->items.size() ? list->items[index].get() : nullptr;
}

void tavrin_interface_list_free(tavrin_interface_list* list) { delete list; }

tavrin_file_info* tavrin_inspect(const char* path) {
  if (path == nullptr) return nullptr;
  return guarded<tavrin_file_info*>(nullptr, [&] {
    auto record = std::make_unique<FileInfoRecord>();
    tavrin_file_info& out = record->info;
    TextStore& texts = *record->texts;
    FirmwareImage image;
    FirmwareInfo info;
    ImageFormat format = ImageFormat::kRaw;
    // Loaded as --inspect loads it: a raw file is viewed, not copied.
    const ImageLoadResult loaded = loadFirmwareImage(image, info, path, &format, true);
    std::string fileHash;
    out.ok = loaded == kImageLoaded && fileSha256(path, &fileHash) ? 1 : 0;
    out.format = imageFormatName(format);
    if (out.ok) {
      out.reason = "";
      out.message = "";
      out.length = image.imageLength;
      out.image_crc = image.imageCrc;
      out.check_word = image.checkWord;
      out.protocol_mask = image.protocolMask;
      out.protocol_selection = image.protocolSelection;
      out.image_sha256 = texts.keep(sha256Hex(image.imageData, image.imageLength));
    } else {
      MessageCollector messages;
      printImageLoadFailure(messages, loaded, TextEncoding::kUtf8);
      out.reason = updateOutcomeName(UpdateOutcome::kInvalidFile);
      out.message = texts.keep(messages.text() +
                               "Error: The input file is not a valid firmware file!");
      out.image_sha256 = "";
    }
    out.model = texts.keep(out.ok ? info.model : "");
    out.version = texts.keep(out.ok ? info.version : "");
    out.sha256 = texts.keep(fileHash);
    return &record.release()->info;
  });
}

void tavrin_file_info_free(tavrin_file_info* info) {
  delete reinterpret_cast<FileInfoRecord*>(info);
}

tavrin_version_list* tavrin_read_versions(tavrin_platform* platform, const tavrin_ids* ids,
                                          const char* port, const char* serial) {
  if (ids == nullptr) return nullptr;
  return guarded<tavrin_version_list*>(nullptr, [&]() -> tavrin_version_list* {
    std::unique_ptr<HidPlatform> owned;
    HidPlatform* hid = platformFor(platform, &owned);
    if (hid == nullptr) return nullptr;
    DeviceFilter filter = filterOf(ids);
    filter.selectPort = port != nullptr ? port : "";
    filter.selectSerial = serial != nullptr ? serial : "";
    auto list = std::make_unique<tavrin_version_list>();
    VersionCollector collector(*list);
    // The devices and the request of -r: mask 0xAA, one request each.
    CHidManager manager(*hid, filter);
    if (!listSurveyedDevices(manager, collector)) return list.release();
    TransactionLink link;
    for (HidDevice* device = manager.firstDevice(); device != nullptr;
         device = manager.nextDevice())
      askDeviceVersion(link, *device, 0xAA, collector);
    return list.release();
  });
}

size_t tavrin_version_list_count(const tavrin_version_list* list) {
  return list != nullptr ? list->items.size() : 0;
}

const tavrin_device_version* tavrin_version_list_get(const tavrin_version_list* list,
                                                    size_t index) {
  return list != nullptr && index < list->items.size() ? list->items[index].get() : nullptr;
}

void tavrin_version_list_free(tavrin_version_list* list) { delete list; }

}  // extern "C"
