// Replays the committed fuzz seeds through the same entry points as the
// fuzzers; under the sanitizer build this catches overruns without libFuzzer.
#include <gtest/gtest.h>

#include <filesystem>

#include "fuzz/fuzz_entry.h"
#include "tests/image_builders.h"

TEST(FuzzCorpusTest, ReplaysSeeds) {
  struct Target {
    const char* name;
    void (*entry)(const uint8_t*, size_t);
  } targets[] = {{"intel_hex", fuzzentry::intelHex},
                 {"container", fuzzentry::container},
                 {"info_block", fuzzentry::infoBlock},
                 {"report_descriptor", fuzzentry::reportDescriptor},
                 {"device_frames", fuzzentry::deviceFrames},
                 {"host", fuzzentry::host},
                 {"uevent", fuzzentry::hidUevent},
                 {"signature", fuzzentry::signature}};
  std::filesystem::path root = std::filesystem::path(TAVRIN_SOURCE_DIR) / "fuzz" / "corpus";
  for (const Target& target : targets) {
    int replayed = 0;
    for (const auto& entry : std::filesystem::directory_iterator(root / target.name)) {
      std::string bytes = testimage::readFile(entry.path());
      target.entry(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
      ++replayed;
    }
    EXPECT_GT(replayed, 0) << target.name;
  }
}
