// The manifest as one type: the profile rules it reads with (each measured
// under Wine's GetPrivateProfileStringA), every section written and read
// back, damaged lines, and what an installation can be checked against.
#include <gtest/gtest.h>

#include <array>
#include <optional>
#include <string>

#include "engine/release/IniText.h"
#include "engine/release/Manifest.h"
#include "engine/release/ModuleCatalogue.h"

namespace {

const std::string kFp = "00112233445566778899aabbccddeeff";
const std::string kSha(64, 'a');

std::string AllModules(const std::string& extra = "") {
  std::string text = "[ModuleVersion]\r\n";
  for (const ModuleEntry& row : kModuleCatalogue) text += std::string(row.baseName) + "=" + kFp + "\r\n";
  return text + extra;
}

}  // namespace

TEST(IniText, ReadsAsTheProfileFunctionsRead) {
  const std::string body =
      "k0=before any section\r\n"
      "[ S ]\r\n"
      "k1=one\r\n"
      "  k2  =  two  \r\n"
      "k3=\"q\"\r\n"
      "k4='q'\r\n"
      "k5=\"q'\r\n"
      "k6=\"\r\n"
      "k7=a=b\r\n"
      ";k8=comment\r\n"
      "k8=real\r\n"
      "k1=second\r\n"
      "noequals\r\n"
      "#k9=hash\r\n"
      "k10 = \" spaced \" \r\n"
      "k11=\"\"\r\n"
      "\tk12\t=\tv\t\r\n"
      "k13=\r\n"
      "[s]\r\n"
      "k14=a second section of the name\r\n"
      "[T]junk\r\n"
      "k15=after junk\r\n"
      "[U\r\n"
      "k16=no section\r\n";
  const IniText ini = IniText::Parse(body);
  const std::pair<std::pair<const char*, const char*>, std::optional<std::string>> cases[] = {
      {{"S", "k0"}, std::nullopt},          // before the first section
      {{"s", "K1"}, "one"},                 // names without regard to case; the first of two keys
      {{" S ", "k2"}, "two"},               // blanks around names and values
      {{"S", "k3"}, "q"},                   // one pair of quotes
      {{"S", "k4"}, "q"},
      {{"S", "k5"}, "\"q'"},                // not a pair
      {{"S", "k6"}, "\""},                  // one quotation mark alone
      {{"S", "k7"}, "a=b"},                 // split at the first '='
      {{"S", "k8"}, "real"},                // ';' begins a comment
      {{"S", "noequals"}, std::nullopt},    // no '=': no key
      {{"S", "#k9"}, "hash"},               // '#' is no comment
      {{"S", "k10"}, " spaced "},           // blanks inside quotes stay
      {{"S", "k11"}, ""},
      {{"S", "k12"}, "v"},                  // tabs are blanks
      {{"S", "k13"}, ""},                   // present and empty, not absent
      {{"S", "k14"}, std::nullopt},         // only the first section of a name counts
      {{"T", "k15"}, "after junk"},         // text after ']' is ignored
      {{"U", "k16"}, std::nullopt},         // '[' without ']' opens nothing
      {{"T", "k16"}, "no section"},
      {{"V", "k1"}, std::nullopt},
  };
  for (const auto& [where, expected] : cases)
    EXPECT_EQ(ini.ProfileValue(where.first, where.second), expected) << where.first << "/" << where.second;
  EXPECT_TRUE(ini.Section("S")->HasRepeatedKey());
  EXPECT_EQ(ini.Section("S")->linesWithoutKey, 1);
  EXPECT_EQ(ini.CountOf("s"), 2);
  // Written back (quotes, blanks inside them, a lone mark), every key and value reads the same.
  const IniText written = IniText::Parse(ini.Text());
  const IniSection& again = *written.Section("S");
  ASSERT_EQ(again.entries.size(), ini.Section("S")->entries.size());
  for (size_t i = 0; i < again.entries.size(); ++i)
    EXPECT_EQ(std::tie(again.entries[i].key, again.entries[i].value),
              std::tie(ini.Section("S")->entries[i].key, ini.Section("S")->entries[i].value));

  // Line ends, a byte order mark, a NUL, and the 259 characters of a 260-byte buffer.
  const std::pair<std::string, std::string> ends[] = {
      {"[M]\rk=cr\r", "cr"}, {"[M]\nk=lf\n", "lf"}, {"\xEF\xBB\xBF[M]\r\nk=bom", "bom"},
      {std::string("[M]\r\nk=a\0b\r\n", 12), "a"}, {"[M]\r\nk=" + std::string(399, 'x'), std::string(259, 'x')},
      {"[M]\r\nk=\"" + std::string(300, 'y') + "\"", std::string(259, 'y')},
  };
  for (const auto& [text, value] : ends) EXPECT_EQ(IniText::Parse(text).ProfileValue("M", "k"), value);
  EXPECT_EQ(IniText::Parse("[M]\r\nk=" + std::string(399, 'x')).Section("M")->entries[0].value.size(), 399u);
}

TEST(Manifest, WritesEverySectionAndReadsItBack) {
  Manifest m;
  for (int i = 0; i < kModuleCount; ++i) m.fingerprints[i] = kFp;
  m.updaterFingerprint = kFp;
  m.compressed[0] = CompressedEntry{kSha, 10, 20};
  m.patches[3] = {PatchEntry{"Pravik.exe.1.2.patch", kSha, 5, std::string(64, 'b'), kFp, 20},
                  PatchEntry{"Pravik.exe.3.4.patch", kSha, 6, std::string(64, 'c'), kFp, 20}};
  m.files.modules[0] = "Velkor.0123456789abcdef.dll";
  m.files.deflated[0] = "Velkor.fedcba9876543210.dll.z";
  m.files.updater = "Updater.0011223344556677.exe";
  m.mirrors = {"https://mirror.example/r/", "http://127.0.0.1:8080/m/"};
  m.otherSections.push_back(IniSection{"Later", {{"Key", "value"}}, 0});
  SignedRelease release;
  release.number = 7;
  for (const ModuleEntry& row : kModuleCatalogue) release.modules[row.baseName] = {kSha, 20};
  m.signedRelease = release;
  const std::string text = m.Text();
  // The layout every published release has had: fingerprints first, the signed section last.
  EXPECT_EQ(text.rfind("[ModuleVersion]\r\nVelkor=" + kFp + "\r\nDrimsa=", 0), 0u);
  EXPECT_NE(text.find("[Updater]\r\nUpdater=" + kFp + "\r\n[Compressed]\r\nVelkor=" + kSha + " 10 20\r\n[Patches]\r\n"
                      "Pravik.1=Pravik.exe.1.2.patch " + kSha + " 5 " + std::string(64, 'b') + " " + kFp + " 20\r\n"),
            std::string::npos);
  EXPECT_LT(text.find("[Later]"), text.find("[SignedRelease]\r\nNumber=7\r\n"));
  EXPECT_NE(text.find("[Files]\r\nVelkor=Velkor.0123456789abcdef.dll\r\nVelkor.z=Velkor.fedcba9876543210.dll.z\r\n"
                      "Updater=Updater.0011223344556677.exe\r\n[Mirrors]\r\n1=https://mirror.example/r/\r\n"),
            std::string::npos);

  const Manifest back = Manifest::Parse(text);
  EXPECT_EQ(back.Text(), text);
  EXPECT_EQ(back.fingerprints, m.fingerprints);
  ASSERT_EQ(back.patches[3].size(), 2u);
  EXPECT_EQ(back.patches[3][1].name, "Pravik.exe.3.4.patch");
  ASSERT_TRUE(back.compressed[0] && back.signedRelease);
  EXPECT_EQ(back.compressed[0]->moduleSize, 20);
  EXPECT_EQ(back.signedRelease->modules.at("Zibrun").size, 20);
  EXPECT_EQ(back.otherSections.size(), 1u);
  EXPECT_EQ(back.files.deflated[0], m.files.deflated[0]);
  EXPECT_EQ(back.files.updater, m.files.updater);
  EXPECT_EQ(back.mirrors, m.mirrors);
  // A manifest of fingerprints alone still writes the two empty sections of ways.
  Manifest plain;
  plain.fingerprints[0] = kFp;
  EXPECT_EQ(plain.Text(), "[ModuleVersion]\r\nVelkor=" + kFp + "\r\n[Compressed]\r\n[Patches]\r\n");
}

TEST(Manifest, NamesAndMirrorsThatDoNotReadAreLeftOut) {
  // A name that could reach outside the server's folder or a base that is
  // not a plain web address is no name: the fixed name, or no mirror.
  const std::pair<std::string, bool> names[] = {
      {"Velkor.0123456789abcdef.dll", true}, {"a", true}, {"A-b_c.9", true}, {std::string(128, 'x'), true},
      {"", false}, {std::string(129, 'x'), false}, {".hidden", false}, {"../Velkor.dll", false},
      {"sub/Velkor.dll", false}, {"sub\\Velkor.dll", false}, {"C:Velkor.dll", false}, {"a b", false},
      {"Velkor.dll?x=1", false}, {"%2e%2e", false}, {"\xe8\xbd\xaf.dll", false}};
  for (const auto& [name, plain] : names) {
    const Manifest m = Manifest::Parse("[Files]\r\nVelkor=" + name + "\r\nUpdater=" + name + "\r\n");
    EXPECT_EQ(m.files.modules[0], plain ? name : "") << name;
    EXPECT_EQ(m.files.updater, plain ? name : "") << name;
  }
  const Manifest m = Manifest::Parse(
      "[Mirrors]\r\n3=http://c.example/\r\n1=https://a.example/r/\r\n2=ftp://b.example/\r\n"
      "4=http://no-slash.example\r\n5=http://sp ace.example/\r\nx=http://x.example/\r\n0=http://zero.example/\r\n"
      "1=http://again.example/\r\n6=http://d.example/\r\n7=http://e.example/\r\n8=http://f.example/\r\n"
      "9=http://g.example/\r\n10=http://h.example/\r\n11=http://i.example/\r\n12=http://j.example/\r\n"
      "13=http://k.example/\r\n14=http://l.example/\r\n");
  // In the order of their numbers, the first of two equal keys, at most eight.
  const std::vector<std::string> expected = {"https://a.example/r/", "http://c.example/", "http://d.example/",
                                             "http://e.example/",    "http://f.example/", "http://g.example/",
                                             "http://h.example/",    "http://i.example/"};
  EXPECT_EQ(m.mirrors, expected);
}

TEST(Manifest, LeavesOutWaysThatDoNotRead) {
  const std::string good = kSha + " 5 " + kSha + " " + kFp + " 20";
  const std::pair<const char*, std::string> patches[] = {
      {"Velkor.1", "a.patch " + good},                 // read
      {"velkor.2", "b.patch " + good},                 // a key's case does not matter
      {"Velkor.1", "c.patch " + good},                 // the first of two equal keys
      {"Velkor.17", "d.patch " + good},                // past the numbers a module may have
      {"Velkor.0", "e.patch " + good},
      {"Nobody.1", "f.patch " + good},                 // no such module
      {"Velkor.3", "g/h.patch " + good},               // a name with a folder
      {"Velkor.4", "i.patch " + kSha + " 0 " + kSha + " " + kFp + " 20"},  // no bytes
      {"Velkor.5", "j.patch " + kSha.substr(1) + " 5 " + kSha + " " + kFp + " 20"},
      {"Velkor.6", "k.patch " + kSha + " 5"},          // words missing
  };
  std::string text = AllModules("[Patches]\r\n");
  for (const auto& [key, value] : patches) text += std::string(key) + "=" + value + "\r\n";
  text += "[Compressed]\r\nDrimsa=" + kSha + " 5\r\nTobrin=" + kSha + " x 9\r\nPravik=" + kSha + " 5 9\r\n";
  const Manifest m = Manifest::Parse(text);
  ASSERT_EQ(m.patches[0].size(), 2u);
  EXPECT_EQ(m.patches[0][0].name, "a.patch");
  EXPECT_EQ(m.patches[0][1].name, "b.patch");
  EXPECT_FALSE(m.compressed[1]);
  EXPECT_FALSE(m.compressed[2]);
  ASSERT_TRUE(m.compressed[3]);
  EXPECT_EQ(m.compressed[3]->size, 5);
}

TEST(SignedReleaseSection, ReadsBackWhatIsWrittenAndRefusesEverythingElse) {
  SignedRelease release;
  release.number = 4;
  release.notesSha256 = std::string(64, 'a');
  for (const ModuleEntry& row : kModuleCatalogue) release.modules[row.baseName] = {std::string(64, 'b'), 1234};
  const std::string fingerprints = "[ModuleVersion]\r\nVelkor=00112233445566778899aabbccddeeff\r\n";
  const std::optional<SignedRelease> back = Manifest::Parse(fingerprints + SignedSectionText(release)).signedRelease;
  ASSERT_TRUE(back);
  EXPECT_EQ(back->number, 4);
  EXPECT_EQ(back->notesSha256, release.notesSha256);
  EXPECT_EQ(back->modules.at("Saffen").size, 1234);

  const std::string good = SignedSectionText(release);
  auto with = [&](const std::string& from, const std::string& to) {
    std::string text = good;
    text.replace(text.find(from), from.size(), to);
    return text;
  };
  const std::pair<const char*, std::string> broken[] = {
      {"no section", fingerprints},
      {"no number", with("Number=4\r\n", "")},
      {"a negative number", with("Number=4", "Number=-4")},
      {"a short hash", with("Velkor=" + std::string(64, 'b'), "Velkor=" + std::string(63, 'b'))},
      {"no size", with("Velkor=" + std::string(64, 'b') + " 1234", "Velkor=" + std::string(64, 'b'))},
      {"a key twice", good + "Velkor=" + std::string(64, 'c') + " 1\r\n"},
      {"a line that is no pair", good + "garbage\r\n"},
      {"a number of 20 digits", with("Number=4", "Number=12345678901234567890")},
      {"a number past 2^32 - 1", with("Number=4", "Number=4294967296")},
      {"a key twice, another case", good + "VELKOR=" + std::string(64, 'c') + " 1\r\n"},
      {"an expiry that is no time", good + "Expires=soon\r\n"},
      {"an updater without its size", good + "Updater=" + std::string(64, 'd') + "\r\n"},
      {"a second signed section", good + good},
  };
  for (const auto& [name, text] : broken) EXPECT_FALSE(Manifest::Parse(text).signedRelease) << name;

  // A module left out of the release is left out of the section too.
  const std::optional<SignedRelease> partial = Manifest::Parse(with("Tamrik=", "Tamrikk=")).signedRelease;
  ASSERT_TRUE(partial);
  EXPECT_EQ(partial->modules.count("Tamrik"), 0u);

  // The expiry and the updater's own program come back too.
  release.expires = 1900000000;
  release.updater = SignedFile{std::string(64, 'e'), 99};
  const std::optional<SignedRelease> full = Manifest::Parse(SignedSectionText(release)).signedRelease;
  ASSERT_TRUE(full);
  EXPECT_EQ(full->expires, 1900000000);
  ASSERT_TRUE(full->updater);
  EXPECT_EQ(full->updater->size, 99);
}

TEST(Manifest, ShortfallAgainstAnInstallation) {
  std::array<bool, kModuleCount> all{}, none{};
  all.fill(true);
  std::array<bool, kModuleCount> allButZibrun = all;
  allButZibrun[16] = false;
  auto replaced = [](const std::string& from, const std::string& to) {
    std::string text = AllModules();
    return text.replace(text.find(from), from.size(), to);
  };
  const std::string noZibrun = replaced("Zibrun=" + kFp + "\r\n", "");
  SignedRelease release;
  release.number = 1;
  for (const ModuleEntry& row : kModuleCatalogue) release.modules[row.baseName] = {kSha, 1};
  const std::string signedText = AllModules() + SignedSectionText(release);
  release.modules.erase("Zibrun");
  const std::string signedWithoutZibrun = AllModules() + SignedSectionText(release);
  struct Case {
    const char* what;
    std::string text;
    std::array<bool, kModuleCount> installed;
    bool signedRequired;
    bool acceptable;
  } cases[] = {
      {"every module listed", AllModules(), all, false, true},
      {"a module neither installed nor listed", noZibrun, allButZibrun, false, true},
      {"an installed module not listed", noZibrun, all, false, false},
      {"an empty value counts as none", replaced("Zibrun=" + kFp, "Zibrun="), allButZibrun, false, true},
      {"a malformed fingerprint", replaced("Zibrun=" + kFp, "Zibrun=" + kFp.substr(1) + "g"), all, false, false},
      {"a captive portal's page", "<html><body>Welcome</body></html>", none, false, false},
      {"signed, every module covered", signedText, all, true, true},
      {"signed, a listed module not covered", signedWithoutZibrun, all, true, false},
      {"not signed when it must be", AllModules(), all, true, false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(ManifestShortfall(Manifest::Parse(c.text), c.installed, c.signedRequired).empty(), c.acceptable) << c.what;
}

TEST(Manifest, NoStepDownFromHttpsAndNoMirrorUncheckedBytesCouldComeFrom) {
  const std::string https = "https://a.example/v/", http = "http://a.example/v/";
  const std::string sm = "https://m.example/v/", pm = "http://m.example/v/";
  struct Case {
    std::string server;
    bool keyed;
    std::vector<std::string> allowed;  // of {server, sm, pm, "ftp://x/", server again}
  } cases[] = {
      {https, true, {https, sm}},      // signed: any https copy, never plain http
      {http, true, {http, sm, pm}},    // signed, already plain: every byte is checked against signed hashes
      {https, false, {https}},         // unsigned: only the keyed fingerprint checks, so no mirror
      {http, false, {http, pm}},       // unsigned and plain: plain mirrors only
  };
  for (const Case& c : cases)
    EXPECT_EQ(AllowedBases(c.server, {c.server, sm, pm, "ftp://x/", c.server}, c.keyed), c.allowed)
        << c.server << (c.keyed ? " keyed" : " unkeyed");
  // The first base need not be the server's (a mirror that served the manifest), but is checked the same way.
  EXPECT_EQ(AllowedBases(https, {pm, https, sm}, true), (std::vector<std::string>{https, sm}));
}
