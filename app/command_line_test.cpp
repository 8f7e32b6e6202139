#include "app/command_line.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <memory>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "app/help_text.h"
#include "app/message.h"
#include "sim/simulated_bench.h"
#include "app/update_context.h"

namespace {

struct Scan {
  ScanResult result;
  CommandLine line;
  std::string err;
};

// The context of the last scan.
std::unique_ptr<UpdateContext> gScanned;

// What the banner and the help text print, in the encoding the locale asks for.
std::string printedBanner() {
  MessageSink sink;
  printBanner();
  return sink.err;
}

std::string printedHelp() {
  MessageSink sink;
  printHelpText();
  return sink.err;
}

Scan scan(std::vector<const char*> words) {
  words.insert(words.begin(), "tavrin");
  Scan s;
  MessageSink sink;
  gScanned = std::make_unique<UpdateContext>();
  s.result = scanCommandLine(static_cast<int>(words.size()), words.data(), *gScanned, &s.line);
  s.err = sink.err;
  return s;
}

TEST(CommandLineTest, HexValuesConvertLikeA32BitStrtol) {
  EXPECT_EQ(parseHexValue("0xABCD"), 0xABCD);
  EXPECT_EQ(parseHexValue("abcd"), 0xABCD);
  EXPECT_EQ(parseHexValue("ABCD"), 0xABCD);
  EXPECT_EQ(parseHexValue("0XabCd"), 0xABCD);
  EXPECT_EQ(parseHexValue("zz"), 0);
  EXPECT_EQ(parseHexValue(""), 0);
  EXPECT_EQ(parseHexValue("12345"), 0x2345);
  EXPECT_EQ(parseHexValue("-1"), 0xFFFF);
  EXPECT_EQ(parseHexValue("  +12"), 0x12);
  EXPECT_EQ(parseHexValue("12zz34"), 0x12);
  // Beyond the signed 32-bit range the value saturates before the low 16 bits are kept.
  EXPECT_EQ(parseHexValue("123456789"), 0xFFFF);
  EXPECT_EQ(parseHexValue("-123456789"), 0x0000);
  EXPECT_EQ(parseHexValue("7fffffff"), 0xFFFF);
  EXPECT_EQ(parseHexValue("ffffffffffffffffffff"), 0xFFFF);
}

TEST(CommandLineTest, OptionsAreRecognisedByTheirLeadingCharacters) {
  Scan s = scan({"-file", "fw.bin", "-dv", "abcd", "-dp", "1234", "-bv", "ABCD", "-bp", "1000"});
  EXPECT_EQ(s.result, kScanOk);
  EXPECT_EQ(gScanned->firmwarePath, "fw.bin");
  EXPECT_EQ(gScanned->appVid, 0xABCD);
  EXPECT_EQ(gScanned->appPids[0], 0x1234);
  EXPECT_EQ(gScanned->appPids[1], 0);
  EXPECT_EQ(gScanned->appPids[2], 0);
  EXPECT_EQ(gScanned->bootVid, 0xABCD);
  EXPECT_EQ(gScanned->bootPid, 0x1000);
  EXPECT_FALSE(s.line.readMode);
  EXPECT_EQ(s.err, "");

  s = scan({"-dvx", "12", "-dpid", "34", "-bvendor", "56", "-bpx", "78"});
  EXPECT_EQ(gScanned->appVid, 0x12);
  EXPECT_EQ(gScanned->appPids[0], 0x34);
  EXPECT_EQ(gScanned->bootVid, 0x56);
  EXPECT_EQ(gScanned->bootPid, 0x78);

  // -dx and -d change nothing, whatever follows; stray words are ignored.
  s = scan({"-dx", "12", "-d", "34", "stray", "-q", "-", "-b", "9"});
  EXPECT_EQ(s.result, kScanOk);
  EXPECT_EQ(gScanned->appVid, 0);
  EXPECT_EQ(gScanned->appPids[0], 0);
  EXPECT_EQ(gScanned->bootVid, 0);
  EXPECT_EQ(s.err, "");

  // -read behaves as -r; the later of two values wins.
  s = scan({"-read", "-dv", "1", "-dv", "2"});
  EXPECT_TRUE(s.line.readMode);
  EXPECT_EQ(gScanned->appVid, 2);

  // A value is looked at once more as a possible option.
  s = scan({"-f", "-r"});
  EXPECT_EQ(gScanned->firmwarePath, "-r");
  EXPECT_TRUE(s.line.readMode);

  // An empty path word leaves the path empty.
  s = scan({"-r", "-f", ""});
  EXPECT_TRUE(gScanned->firmwarePath.empty());
}

TEST(CommandLineTest, HelpAndBannerArePrintedWhereTheyStand) {
  unsetenv("LC_ALL");
  unsetenv("LC_CTYPE");
  setenv("LANG", "C.UTF-8", 1);
  const std::string banner = printedBanner();
  const std::string whole = printedHelp();
  EXPECT_EQ(scan({"-v"}).err, banner);
  EXPECT_EQ(scan({"-help"}).err, whole);
  EXPECT_EQ(scan({"-v", "-h", "-v"}).err, banner + whole + banner);
}

TEST(CommandLineTest, HelpTextIsGbkWhereTheLocaleAsksForIt) {
  unsetenv("LC_ALL");
  unsetenv("LC_CTYPE");
  setenv("LANG", "zh_CN.GBK", 1);
  // The GBK banner: "tavrin", blank, four characters, a full-width comma, two characters, " 0.14".
  EXPECT_EQ(printedBanner(),
            "tavrin \xC9\xFD\xBC\xB6\xB9\xA4\xBE\xDF\xA3\xAC\xB0\xE6\xB1\xBE 0.14\n");
  EXPECT_NE(printedHelp().find("  -dv <VID>\t\tHid \xC9\xE8\xB1\xB8\xB5\xC4VID\xA3\xA8"
                               "16\xBD\xF8\xD6\xC6\xA3\xA9\n"),
            std::string::npos);
  setenv("LC_ALL", "zh_CN.GB18030", 1);
  setenv("LANG", "C.UTF-8", 1);
  EXPECT_EQ(printedBanner().substr(0, 9), "tavrin \xC9\xFD");
  unsetenv("LC_ALL");
}

TEST(CommandLineTest, HelpTextIsUtf8Elsewhere) {
  unsetenv("LC_ALL");
  unsetenv("LC_CTYPE");
  setenv("LANG", "C.UTF-8", 1);
  EXPECT_EQ(
      printedBanner(),
      "tavrin \xE5\x8D\x87\xE7\xBA\xA7\xE5\xB7\xA5\xE5\x85\xB7\xEF\xBC\x8C\xE7\x89\x88\xE6\x9C\xAC "
      "0.14\n");
  const std::string help = printedHelp();
  EXPECT_NE(help.find("\n\n\xE7\xA4\xBA\xE4\xBE\x8B: \n"), std::string::npos);  // examples
  EXPECT_NE(help.find("  tavrin -f C:\\firmware.bin -dv abcd -dp 1234 -bv abcd -bp 1000\n"),
            std::string::npos);
  // The help text ends without a line feed.
  EXPECT_EQ(help.substr(help.size() - 29), "  tavrin -r -dv abcd -dp 1234");
}

TEST(CommandLineTest, OptionWithoutValueIsAUsageError) {
  Scan s = scan({"-v", "-dv"});
  EXPECT_EQ(s.result, kScanUsageError);
  EXPECT_EQ(s.err, "Error: option -dv needs a value\n");  // nothing else printed, banner included
  EXPECT_EQ(scan({"-file"}).err, "Error: option -file needs a value\n");
  EXPECT_EQ(scan({"-bp"}).result, kScanUsageError);
  EXPECT_EQ(scan({"--inspect"}).err, "Error: option --inspect needs a value\n");
  EXPECT_EQ(scan({"--inspect", "a.bin", "--image-out"}).result, kScanUsageError);
  EXPECT_EQ(scan({"--inspect", "--image-out", "out.bin"}).err,
            "Error: option --inspect needs a value\n");
  EXPECT_EQ(scan({"--inspect", "-x.bin"}).result, kScanOk);  // a single dash may start a file name
  // Options that take no value may stand last.
  EXPECT_EQ(scan({"-dv", "1", "-r"}).result, kScanOk);
  EXPECT_EQ(scan({"-dx"}).result, kScanOk);
  EXPECT_EQ(scan({"-d"}).result, kScanOk);
}

TEST(CommandLineTest, LongOptions) {
  Scan s = scan({"--inspect", "fw.hex", "--image-out", "out.bin", "--list", "--simulate"});
  EXPECT_EQ(s.result, kScanOk);
  EXPECT_TRUE(s.line.inspect);
  EXPECT_EQ(s.line.inspectPath, "fw.hex");
  EXPECT_TRUE(s.line.writeImage);
  EXPECT_EQ(s.line.imageOutPath, "out.bin");
  EXPECT_TRUE(s.line.listDevices);
  EXPECT_TRUE(s.line.simulate);
  EXPECT_FALSE(s.line.showHelp);
  EXPECT_TRUE(gScanned->firmwarePath.empty());
  s = scan({"--help", "--version"});
  EXPECT_TRUE(s.line.showHelp);
  EXPECT_TRUE(s.line.showVersion);
  EXPECT_EQ(s.err, "");
}

TEST(CommandLineTest, LongOptionValuesFollowOrComeAfterAnEqualsSign) {
  Scan s = scan({"--inspect=fw.hex", "--simulate-latency", "5"});
  EXPECT_EQ(s.result, kScanOk);
  EXPECT_EQ(s.line.inspectPath, "fw.hex");
  EXPECT_TRUE(s.line.simulate);
  EXPECT_EQ(s.line.simulateLatencyMs, 5u);
  EXPECT_EQ(scan({"--simulate-latency=12"}).line.simulateLatencyMs, 12u);
  // A malformed value stops the scan before anything is printed.
  s = scan({"-v", "--simulate-latency=5x"});
  EXPECT_EQ(s.result, kScanUsageError);
  EXPECT_EQ(s.err, "Error: option --simulate-latency needs a number of milliseconds up to 60000\n");
  EXPECT_EQ(scan({"--simulate-latency", "-1"}).result, kScanUsageError);
  // An empty port or serial (an unset shell variable) would select any device.
  EXPECT_EQ(scan({"-r", "--port", ""}).err,
            "Error: option --port needs a port as --list shows it, not an empty one\n");
  EXPECT_EQ(scan({"--port="}).result, kScanUsageError);
  EXPECT_EQ(scan({"--serial", "", "-r"}).err,
            "Error: option --serial needs a serial number, not an empty one\n");
  EXPECT_EQ(scan({"--serial="}).result, kScanUsageError);
  EXPECT_EQ(scan({"--port", "1-1.4", "--serial=A7"}).result, kScanOk);
  // The repeatable --trust-key keeps every key, in order; an empty version is none.
  s = scan({"--trust-key", "a.pub", "--trust-key=b.pub", "--file-version", "2.1"});
  EXPECT_EQ(s.line.trustKeyPaths, (std::vector<std::string>{"a.pub", "b.pub"}));
  EXPECT_EQ(gScanned->imageCheck.statedVersion, "2.1");
  s = scan({"--file-version="});
  EXPECT_EQ(s.result, kScanUsageError);
  EXPECT_EQ(s.err, "Error: option --file-version needs a version text\n");
}

TEST(CommandLineTest, AnUnknownLongOptionIsAUsageErrorBeforeAnythingIsDone) {
  Scan s = scan({"-v", "-f", "fw.bin", "--simualte"});
  EXPECT_EQ(s.result, kScanUsageError);
  EXPECT_EQ(s.err, "Error: unknown option --simualte (did you mean --simulate?)\n");
  EXPECT_EQ(scan({"--jsno"}).err, "Error: unknown option --jsno (did you mean --json?)\n");
  EXPECT_EQ(scan({"--simualte=2"}).err,
            "Error: unknown option --simualte (did you mean --simulate?)\n");
  EXPECT_EQ(scan({"--verison"}).err, "Error: unknown option --verison (did you mean --version?)\n");
  EXPECT_EQ(scan({"--simulate-latncy", "5"}).err,
            "Error: unknown option --simulate-latncy (did you mean --simulate-latency?)\n");
  // Nothing close enough: no guess.
  EXPECT_EQ(scan({"--frobnicate"}).err, "Error: unknown option --frobnicate\n");
  EXPECT_EQ(scan({"--"}).err, "Error: unknown option --\n");
  EXPECT_EQ(scan({"--sim"}).err, "Error: unknown option --sim\n");
  // A value is copied unchanged, whatever it looks like; words of one dash
  // are still passed over.
  s = scan({"-f", "--fw.bin", "-dv", "--1", "-q", "-simulate"});
  EXPECT_EQ(s.result, kScanOk);
  EXPECT_EQ(gScanned->firmwarePath, "--fw.bin");
  EXPECT_EQ(s.err, "");
  // A value of one dash is still looked at as an option, so -x takes none.
  EXPECT_EQ(scan({"-x", "--jsno"}).result, kScanUsageError);
}

TEST(CommandLineTest, TheIdWordsAreKeptAsGiven) {
  Scan s = scan({"-dv", "xyz", "-dp", "12345", "-bp", "1000", "-bp", "0x1001"});
  EXPECT_EQ(s.line.givenIds.appVid, "xyz");
  EXPECT_EQ(s.line.givenIds.appPid, "12345");
  EXPECT_EQ(gScanned->appPids[0], 0x2345);
  EXPECT_FALSE(s.line.givenIds.bootVid.has_value());
  EXPECT_EQ(s.line.givenIds.bootPid, "0x1001");
  EXPECT_FALSE(s.line.givenIds.bootIds());
  EXPECT_TRUE(scan({"-bv", "0", "-bp", "0"}).line.givenIds.bootIds());
}

TEST(CommandLineTest, OptionsThatNeedAnotherOrAWellFormedValue) {
  const char* ids[] = {"-dv", "abcd", "-dp", "1234", "-bv", "abcd", "-bp", "1000"};
  auto with = [&ids](std::vector<const char*> words) {
    words.insert(words.end(), std::begin(ids), std::end(ids));
    return scan(words);
  };
  Scan s = with({"--simulate=3", "--simulate-fault", "vanish:10@sim-2", "--simulate-fault=verify-fail"});
  EXPECT_EQ(s.result, kScanOk) << s.err;
  EXPECT_EQ(s.line.simulateFaults, (std::vector<std::string>{"vanish:10@sim-2", "verify-fail"}));
  // A fault implies the dry run: it never reaches hardware.
  EXPECT_TRUE(scan({"--simulate-fault", "never-return"}).line.simulate);
  EXPECT_EQ(scan({"--simulate-fault", "fly"}).err,
            std::string("Error: option --simulate-fault needs ") + kSimulatedFaultForms + "\n");
  EXPECT_EQ(with({"--simulate-fault", "vanish@sim-1"}).err,
            "Error: --simulate-fault vanish@sim-1: there is no simulated device sim-1\n");
  EXPECT_EQ(with({"--simulate-fault", "vanish@sim-1", "--simulate=2"}).result, kScanOk);

  EXPECT_EQ(with({"--all", "--expect", "8"}).line.expectedDevices, 8u);
  EXPECT_EQ(with({"-v", "--expect", "8"}).err, "Error: option --expect needs --all\n");
  EXPECT_EQ(with({"--all", "--expect", "0"}).result, kScanUsageError);

  EXPECT_EQ(with({"--udev-rule", "--group", "plugdev"}).line.udevGroup, "plugdev");
  EXPECT_EQ(with({"--group", "plugdev"}).err, "Error: option --group needs --udev-rule\n");
  for (const char* bad : {"a\"b", "x y", "-g", ""})
    EXPECT_EQ(with({"--udev-rule", "--group", bad}).result, kScanUsageError) << bad;
  // A rule for ids nobody named would match no device.
  EXPECT_EQ(scan({"--udev-rule", "-dv", "abcd", "-dp", "1234"}).err,
            "Error: option --udev-rule needs the device's ids: -dv VID -dp PID -bv VID -bp PID\n");
  EXPECT_EQ(with({"--udev-rule"}).result, kScanOk);
}

// Every option the program takes: the short ones and those --help lists.
std::set<std::string> programOptions() {
  std::set<std::string> program = {"-f", "-dv", "-dp", "-bv", "-bp", "-r", "-h", "-v"};
  std::istringstream summary(longOptionSummary());
  for (std::string line; std::getline(summary, line);)
    program.insert(line.substr(2, line.find_first_of(" [", 2) - 2));
  return program;
}

TEST(CommandLineTest, TheManualDescribesEveryOptionAndNoOther) {
  std::ifstream in(std::string(TAVRIN_SOURCE_DIR) + "/packaging/tavrin.1.scd");
  ASSERT_TRUE(in);
  std::set<std::string> manual;
  bool inOptions = false;
  const std::regex option(R"(\*(-{1,2}[a-z][-a-z]*)\*)");
  // An entry is a line of options followed by its indented description.
  std::string previous;
  for (std::string line; std::getline(in, line); previous = line) {
    if (line.rfind("# ", 0) == 0) inOptions = line == "# OPTIONS";
    if (!inOptions || line.empty() || line[0] != '\t' || previous.rfind("*-", 0) != 0) continue;
    for (std::sregex_iterator m(previous.begin(), previous.end(), option), end; m != end; ++m)
      manual.insert((*m)[1]);
  }
  EXPECT_EQ(manual, programOptions());
}

TEST(CommandLineTest, BashCompletionOffersEveryOptionAndFileNamesWhereTheyGo) {
  std::ifstream in(std::string(TAVRIN_SOURCE_DIR) + "/packaging/tavrin.bash-completion");
  ASSERT_TRUE(in);
  const std::string text((std::istreambuf_iterator<char>(in)), {});
  // The words offered where no option asks for a value: the last word list.
  const size_t list = text.rfind("compgen -W \"");
  ASSERT_NE(list, std::string::npos);
  const size_t begin = list + 12;
  std::istringstream words(text.substr(begin, text.find('"', begin) - begin));
  std::set<std::string> offered;
  for (std::string word; words >> word;) offered.insert(word);
  EXPECT_EQ(offered, programOptions());
  // The options whose value is a file complete file names.
  const std::regex files(R"(\n *([-|a-z]+)\)\n *COMPREPLY=\(\$\(compgen -f )");
  std::smatch match;
  ASSERT_TRUE(std::regex_search(text, match, files));
  std::set<std::string> fileOptions;
  std::istringstream alternatives(match[1].str());
  for (std::string option; std::getline(alternatives, option, '|');) fileOptions.insert(option);
  for (const char* option : {"-f", "--inspect", "--image-out", "--log"})
    EXPECT_EQ(fileOptions.count(option), 1u) << option;
}

}  // namespace
