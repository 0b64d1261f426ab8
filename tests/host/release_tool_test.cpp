#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>

#include "Publisher.h"
#include "engine/release/Manifest.h"
#include "engine/release/ModuleCatalogue.h"
#include "engine/release/ModuleDigest.h"

namespace fs = std::filesystem;

namespace {

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// Manifest as key -> value, checking the CR LF line ends on the way.
std::map<std::string, std::string> ParseManifest(const std::string& text) {
  std::map<std::string, std::string> values;
  std::istringstream in(text);
  std::string line;
  bool inSection = false, found = false;
  while (std::getline(in, line)) {
    EXPECT_FALSE(line.empty());
    EXPECT_EQ(line.back(), '\r');
    line.pop_back();
    if (!line.empty() && line[0] == '[') {
      inSection = line == "[ModuleVersion]";
      found = found || inSection;
      continue;
    }
    const auto eq = line.find('=');
    if (inSection && eq != std::string::npos) values[line.substr(0, eq)] = line.substr(eq + 1);
  }
  EXPECT_TRUE(found);
  return values;
}

class ReleaseTool : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() / ("release_test_" + std::to_string(::getpid()));
    build_ = root_ / "build";
    server_ = root_ / "server";
    fs::remove_all(root_);
    fs::create_directories(build_);
    for (int i = 0; i < kModuleCount; ++i) {
      std::ofstream(build_ / kModuleCatalogue[i].LocalName(), std::ios::binary)
          << "module " << i << std::string(i * 100, static_cast<char>('a' + i));
    }
  }
  void TearDown() override { fs::remove_all(root_); }
  int Run(const std::string& args) {
    const std::string command = std::string(RELEASE_TOOL) + " " + args + " >" + (root_ / "out").string() + " 2>" +
                                (root_ / "err").string();
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  fs::path root_;
  fs::path build_;
  fs::path server_;
};

}  // namespace

TEST_F(ReleaseTool, PublishedFilesMatchTheirManifest) {
  std::ofstream(root_ / "notes.txt") << "new release\n";
  ASSERT_EQ(Run("publish " + build_.string() + " " + server_.string() + " --notes " + (root_ / "notes.txt").string()),
            0);
  const auto manifest = ParseManifest(ReadAll(server_ / "ModelMD5.dll"));
  ASSERT_EQ(manifest.size(), 17u);
  for (const ModuleEntry& row : kModuleCatalogue) {
    const fs::path published = server_ / row.RemoteName();
    ASSERT_TRUE(fs::exists(published)) << row.RemoteName();
    EXPECT_EQ(ReadAll(published), ReadAll(build_ / row.LocalName()));
    EXPECT_EQ(manifest.at(row.baseName), ModuleDigest(published.string(), kModuleDigestKey));
  }
  // The product executable is published under the launcher row's name only.
  EXPECT_TRUE(fs::exists(server_ / "Saffen.exe"));
  EXPECT_FALSE(fs::exists(server_ / "Velnoria.exe"));
  EXPECT_EQ(ReadAll(server_ / "UpdateContent.dll"), "new release\n");
  for (const auto& entry : fs::directory_iterator(server_))
    EXPECT_EQ(entry.path().string().find(".partial"), std::string::npos);
}

TEST_F(ReleaseTool, EveryFileGoesUnderANameOfItsContentAndOldPublishesArePruned) {
  // Four publishes into one folder, one module changed each time; the last two publishes' files stay.
  std::vector<Manifest> published;
  for (int n = 0; n < 4; ++n) {
    if (n > 0) std::ofstream(build_ / "Drimsa.dll", std::ios::app | std::ios::binary) << "publish " << n;
    ASSERT_EQ(Run("publish " + build_.string() + " " + server_.string() +
                  " --keep-releases 2 --mirror https://m1.example/r/ --mirror http://m2.example/"), 0)
        << ReadAll(root_ / "err");
    published.push_back(Manifest::Parse(ReadAll(server_ / "ModelMD5.dll")));
    if (n == 2) {  // a publish of long ago: its time stays as recorded
      std::string list = ReadAll(server_ / kPublishedListName);
      const size_t last = list.rfind('\n', list.size() - 2) + 1;
      list.replace(last, list.find(' ', last) - last, "1000");
      std::ofstream(server_ / kPublishedListName, std::ios::binary) << list;
    }
    const Manifest& m = published.back();
    EXPECT_EQ(m.mirrors, (std::vector<std::string>{"https://m1.example/r/", "http://m2.example/"}));
    for (int i = 0; i < kModuleCount; ++i) {
      const std::string fixed = kModuleCatalogue[i].RemoteName();
      ASSERT_EQ(m.files.modules[i].rfind(std::string(kModuleCatalogue[i].baseName) + ".", 0), 0u) << fixed;
      EXPECT_EQ(ReadAll(server_ / m.files.modules[i]), ReadAll(server_ / fixed)) << fixed;
      if (m.compressed[i]) {
        EXPECT_EQ(ReadAll(server_ / m.files.deflated[i]), ReadAll(server_ / (fixed + ".z"))) << fixed;
      }
    }
  }
  EXPECT_NE(published[0].files.modules[1], published[3].files.modules[1]);
  EXPECT_EQ(published[0].files.modules[0], published[3].files.modules[0]);  // unchanged: the same name, kept
  EXPECT_FALSE(fs::exists(server_ / published[0].files.modules[1]));
  EXPECT_FALSE(fs::exists(server_ / published[1].files.modules[1]));
  EXPECT_TRUE(fs::exists(server_ / published[2].files.modules[1]));
  EXPECT_TRUE(fs::exists(server_ / published[0].files.modules[0]));
  EXPECT_EQ(ReadAll(server_ / kPublishedListName).rfind("1000 ", 0), 0u);
  std::istringstream list(ReadAll(server_ / kPublishedListName));
  int lines = 0;
  for (std::string line; std::getline(list, line);) ++lines;
  EXPECT_EQ(lines, 2);
  EXPECT_EQ(Run("publish " + build_.string() + " " + server_.string() + " --mirror ftp://m.example/"), 1);
  EXPECT_NE(ReadAll(root_ / "err").find("not a mirror base"), std::string::npos);
}

TEST_F(ReleaseTool, DigestCommandPrintsOneLinePerFile) {
  ASSERT_EQ(Run("digest " + (build_ / "Velkor.dll").string() + " " + (build_ / "Zibrun.exe").string()), 0);
  const std::string expected = ModuleDigest((build_ / "Velkor.dll").string(), kModuleDigestKey) + "  " +
                               (build_ / "Velkor.dll").string() + "\n" +
                               ModuleDigest((build_ / "Zibrun.exe").string(), kModuleDigestKey) + "  " +
                               (build_ / "Zibrun.exe").string() + "\n";
  EXPECT_EQ(ReadAll(root_ / "out"), expected);
  EXPECT_EQ(Run("digest " + (build_ / "nope.dll").string()), 1);
  EXPECT_NE(ReadAll(root_ / "err").find("nope.dll"), std::string::npos);
}

TEST_F(ReleaseTool, ErrorsNameTheProblem) {
  EXPECT_EQ(Run("publish " + (root_ / "no-such-dir").string() + " " + server_.string()), 1);
  EXPECT_NE(ReadAll(root_ / "err").find("build folder not found"), std::string::npos);
  EXPECT_EQ(Run("publish " + build_.string()), 2);
  EXPECT_EQ(Run("frobnicate"), 2);
  EXPECT_EQ(Run("--help"), 0);
  EXPECT_NE(ReadAll(root_ / "out").find("publish BUILD_DIR SERVER_DIR"), std::string::npos);
  EXPECT_EQ(Run("publish " + build_.string() + " " + server_.string() + " --notes " + (root_ / "none.txt").string()),
            1);
  EXPECT_FALSE(fs::exists(server_ / "ModelMD5.dll"));
}

TEST_F(ReleaseTool, AManifestAlwaysCoversEveryModule) {
  // A full release first, then a partial build of the next one.
  const fs::path earlier = root_ / "earlier";
  ASSERT_EQ(Run("publish " + build_.string() + " " + earlier.string()), 0);
  const auto before = ParseManifest(ReadAll(earlier / "ModelMD5.dll"));
  fs::remove(build_ / "Tamrik.dll");
  fs::remove(build_ / "Velnoria.exe");
  {
    std::ofstream(build_ / "Velkor.dll", std::ios::binary) << "velkor, next release";
  }
  EXPECT_EQ(Run("publish " + build_.string() + " " + server_.string()), 1);
  const std::string err = ReadAll(root_ / "err");
  EXPECT_NE(err.find("Tamrik.dll"), std::string::npos);
  EXPECT_NE(err.find("Velnoria.exe"), std::string::npos);
  EXPECT_FALSE(fs::exists(server_ / "ModelMD5.dll"));
  // The option that used to publish a partial manifest is refused.
  EXPECT_EQ(Run("publish --allow-missing " + build_.string() + " " + server_.string()), 2);
  EXPECT_FALSE(fs::exists(server_ / "ModelMD5.dll"));
  // Carried over, the absent modules stay as the earlier release has them.
  EXPECT_EQ(Run("publish --carry-over " + earlier.string() + " " + build_.string() + " " + server_.string()), 0);
  const auto manifest = ParseManifest(ReadAll(server_ / "ModelMD5.dll"));
  EXPECT_EQ(manifest.size(), 17u);
  EXPECT_EQ(manifest.at("Tamrik"), before.at("Tamrik"));
  EXPECT_EQ(manifest.at("Saffen"), before.at("Saffen"));
  EXPECT_NE(manifest.at("Velkor"), before.at("Velkor"));
  EXPECT_EQ(ReadAll(server_ / "Tamrik.dll"), ReadAll(earlier / "Tamrik.dll"));
  // Not there either: an error naming it.
  fs::remove(earlier / "Tamrik.dll");
  fs::remove_all(server_);
  EXPECT_EQ(Run("publish --carry-over " + earlier.string() + " " + build_.string() + " " + server_.string()), 1);
  EXPECT_NE(ReadAll(root_ / "err").find("Tamrik.dll"), std::string::npos);
  EXPECT_FALSE(fs::exists(server_ / "ModelMD5.dll"));
}

TEST_F(ReleaseTool, UnreadableModuleIsAnError) {
  if (::geteuid() == 0) {
    // root reads everything; a folder in the module's place is unreadable as a file.
    fs::remove(build_ / "Wendra.dll");
    fs::create_directories(build_ / "Wendra.dll");
  } else {
    fs::permissions(build_ / "Wendra.dll", fs::perms::none);
  }
  PublishOptions options;
  options.buildDir = build_;
  options.serverDir = server_;
  const PublishResult result = Publish(options);
  EXPECT_FALSE(result.ok);
  ASSERT_FALSE(result.errors.empty());
  EXPECT_NE(result.errors[0].find("Wendra.dll"), std::string::npos);
}

TEST_F(ReleaseTool, KeysAreMadeOnceAndKeptPrivate) {
  const fs::path key = root_ / "release.key";
  ASSERT_EQ(Run("keygen " + key.string()), 0);
  EXPECT_EQ(fs::status(key).permissions() & (fs::perms::group_all | fs::perms::others_all), fs::perms::none);
  EXPECT_NE(ReadAll(key).find("PRIVATE KEY"), std::string::npos);
  // The public key is the DER SubjectPublicKeyInfo of a P-256 key: a fixed
  // 27-byte head, then the point 04 || X || Y.
  const std::string pub = ReadAll(root_ / "release.key.pub");
  ASSERT_EQ(pub.size(), 91u);
  EXPECT_EQ(static_cast<unsigned char>(pub[26]), 0x04);
  const std::string before = ReadAll(key);
  EXPECT_EQ(Run("keygen " + key.string()), 1);  // never replaced silently
  EXPECT_EQ(ReadAll(key), before);
  EXPECT_EQ(Run("keygen --force " + key.string()), 0);
  EXPECT_NE(ReadAll(key), before);
}

TEST_F(ReleaseTool, SignedReleasesVerifyAndEveryTamperingIsNamed) {
  const fs::path key = root_ / "k", other = root_ / "other";
  ASSERT_EQ(Run("keygen " + key.string()), 0);
  ASSERT_EQ(Run("keygen " + other.string()), 0);
  std::ofstream(root_ / "notes.txt") << "signed notes\n";
  const std::string publish = "publish " + build_.string() + " " + server_.string() + " --notes " +
                              (root_ / "notes.txt").string() + " --sign " + key.string() + " --release 12";
  ASSERT_EQ(Run(publish), 0);
  // Today's readers still find every fingerprint; the signed section lies beside them.
  const std::string manifest = ReadAll(server_ / "ModelMD5.dll");
  EXPECT_EQ(ParseManifest(manifest.substr(0, manifest.find("[SignedRelease]"))).size(), 17u);
  const std::optional<SignedRelease> signedPart = Manifest::Parse(manifest).signedRelease;
  ASSERT_TRUE(signedPart);
  EXPECT_EQ(signedPart->number, 12);
  EXPECT_EQ(signedPart->modules.at("Velkor").size, static_cast<int64_t>(fs::file_size(build_ / "Velkor.dll")));
  EXPECT_EQ(ReadAll(server_ / "ModelMD5.sig").size(), 64u);
  ASSERT_EQ(Run("verify " + server_.string() + " " + (key.string() + ".pub")), 0);

  struct Tamper {
    const char* name;
    std::function<void()> apply;
    const char* says;
  } tampers[] = {
      {"one byte of a module", [&] { std::fstream(server_ / "Tobrin.dll", std::ios::in | std::ios::out | std::ios::binary).put('X'); },
       "Tobrin.dll: SHA-256"},
      {"a module grown", [&] { std::ofstream(server_ / "Lumsk.dll", std::ios::app | std::ios::binary) << "more"; },
       "Lumsk.dll: "},
      {"the manifest edited", [&] {
         std::string m = ReadAll(server_ / "ModelMD5.dll");
         m.replace(m.find("Number=12"), 9, "Number=13");
         std::ofstream(server_ / "ModelMD5.dll", std::ios::binary) << m;
       }, "signature does not match"},
      {"signed by another key", [&] {
         ASSERT_EQ(Run("publish " + build_.string() + " " + server_.string() + " --sign " + other.string() +
                       " --release 12 --notes " + (root_ / "notes.txt").string()), 0);
       }, "signature does not match"},
      {"no signature", [&] { fs::remove(server_ / "ModelMD5.sig"); }, "no signature"},
      {"a cut signature", [&] { fs::resize_file(server_ / "ModelMD5.sig", 40); }, "not 64"},
      {"notes changed", [&] { std::ofstream(server_ / "UpdateContent.dll") << "other notes\n"; }, "UpdateContent.dll"},
      {"a name by content", [&] {
         std::ofstream(server_ / Manifest::Parse(ReadAll(server_ / "ModelMD5.dll")).files.modules[2], std::ios::app) << "x";
       }, "not the bytes of Tobrin.dll"},
      {"unsigned", [&] { ASSERT_EQ(Run("publish " + build_.string() + " " + server_.string()), 0); }, "no signature"},
  };
  for (const Tamper& t : tampers) {
    SCOPED_TRACE(t.name);
    fs::remove_all(server_);
    ASSERT_EQ(Run(publish), 0);
    t.apply();
    EXPECT_EQ(Run("verify " + server_.string() + " " + (key.string() + ".pub")), 1);
    EXPECT_NE(ReadAll(root_ / "err").find(t.says), std::string::npos) << ReadAll(root_ / "err");
  }
  EXPECT_EQ(Run("publish " + build_.string() + " " + server_.string() + " --sign " + key.string()), 2);
}

TEST_F(ReleaseTool, TheUpdaterItselfExpiryAndTheKeptReleaseOfAnInstaller) {
  const fs::path key = root_ / "k";
  ASSERT_EQ(Run("keygen " + key.string()), 0);
  std::ofstream(build_ / "Updater.exe", std::ios::binary) << "the updater, release 12";
  std::ofstream(build_ / "UpdaterService.exe", std::ios::binary) << "the update service, release 12";
  // Each publish into the folder takes a higher number than the last.
  auto publishAs = [&](int number) {
    return "publish " + build_.string() + " " + server_.string() + " --sign " + key.string() + " --release " +
           std::to_string(number) + " --expires-days 30";
  };
  const std::string publish = publishAs(12);
  ASSERT_EQ(Run(publish), 0);
  EXPECT_NE(ReadAll(root_ / "out").find("and the updater and the update service"), std::string::npos);
  // Beside the modules, in sections today's readers ignore, signed as they are.
  const std::string manifest = ReadAll(server_ / "ModelMD5.dll");
  EXPECT_EQ(ParseManifest(manifest.substr(0, manifest.find("[Updater]"))).size(), 17u);
  EXPECT_NE(manifest.find("[Updater]\r\nUpdater=" + ModuleDigest((build_ / "Updater.exe").string(), kModuleDigestKey) +
                          "\r\nService=" + ModuleDigest((build_ / "UpdaterService.exe").string(), kModuleDigestKey)),
            std::string::npos);
  const Manifest parsed = Manifest::Parse(manifest);
  const std::optional<SignedRelease> signedPart = parsed.signedRelease;
  ASSERT_TRUE(signedPart && signedPart->updater && signedPart->service);
  EXPECT_EQ(signedPart->updater->size, static_cast<int64_t>(fs::file_size(build_ / "Updater.exe")));
  EXPECT_EQ(signedPart->service->size, static_cast<int64_t>(fs::file_size(build_ / "UpdaterService.exe")));
  EXPECT_EQ(ReadAll(server_ / parsed.files.ServiceName()), ReadAll(build_ / "UpdaterService.exe"));
  EXPECT_EQ(Manifest::Parse(parsed.Text()).Text(), parsed.Text());
  EXPECT_GT(signedPart->expires, 0);
  EXPECT_EQ(ReadAll(server_ / "Updater.exe"), ReadAll(build_ / "Updater.exe"));
  ASSERT_EQ(Run("verify " + server_.string() + " " + key.string() + ".pub"), 0);
  // verify names a changed updater or service, and an expired release.
  std::ofstream(server_ / "Updater.exe", std::ios::binary | std::ios::app) << "x";
  std::ofstream(server_ / "UpdaterService.exe", std::ios::binary | std::ios::app) << "x";
  EXPECT_EQ(Run("verify " + server_.string() + " " + key.string() + ".pub"), 1);
  EXPECT_NE(ReadAll(root_ / "err").find("Updater.exe: SHA-256"), std::string::npos);
  EXPECT_NE(ReadAll(root_ / "err").find("UpdaterService.exe: SHA-256"), std::string::npos);
  ASSERT_EQ(Run(publishAs(13) + " --published-at 1000000000"), 0);
  EXPECT_EQ(Run("verify " + server_.string() + " " + key.string() + ".pub"), 1);
  EXPECT_NE(ReadAll(root_ / "err").find("expired"), std::string::npos);
  // keep: the kept release of an installation, its signature then its manifest.
  const fs::path install = root_ / "install";
  ASSERT_EQ(Run("keep " + server_.string() + " " + key.string() + ".pub " + install.string()), 0);
  EXPECT_EQ(ReadAll(install / "KeptRelease.dat"), ReadAll(server_ / "ModelMD5.sig") + ReadAll(server_ / "ModelMD5.dll"));
  ASSERT_EQ(Run("keygen " + (root_ / "other").string()), 0);
  EXPECT_EQ(Run("keep " + server_.string() + " " + (root_ / "other").string() + ".pub " + install.string()), 1);
  // Options that do not go together.
  EXPECT_EQ(Run("publish " + build_.string() + " " + server_.string() + " --expires-days 3"), 2);
  EXPECT_EQ(Run(publish.substr(0, publish.find(" --expires-days")) + " --expires-days 0"), 2);
  // Without an updater in the build, none is published (an old one goes).
  fs::remove(build_ / "Updater.exe");
  fs::remove(build_ / "UpdaterService.exe");
  ASSERT_EQ(Run(publishAs(14)), 0);
  EXPECT_FALSE(fs::exists(server_ / "Updater.exe"));
  EXPECT_FALSE(fs::exists(server_ / "UpdaterService.exe"));
  EXPECT_EQ(ReadAll(server_ / "ModelMD5.dll").find("[Updater]"), std::string::npos);
}

TEST_F(ReleaseTool, PatchesFromEarlierReleasesAndTheCommandsThatMakeAndApplyThem) {
  const fs::path key = root_ / "k", base = root_ / "base";
  ASSERT_EQ(Run("keygen " + key.string()), 0);
  // Two modules as programs are: bytes that deflate little.
  std::string noise(60000, '\0');
  for (size_t i = 0; i < noise.size(); ++i) noise[i] = static_cast<char>((i * 2654435761u) >> 13);
  std::ofstream(build_ / "Velkor.dll", std::ios::binary) << noise;
  std::ofstream(build_ / "Tobrin.dll", std::ios::binary) << noise.substr(7);
  ASSERT_EQ(Run("publish " + build_.string() + " " + base.string()), 0);
  // The next build: both changed a little.
  std::ofstream(build_ / "Velkor.dll", std::ios::binary | std::ios::app) << "new code";
  std::ofstream(build_ / "Tobrin.dll", std::ios::binary) << noise.substr(7, 30000) + "x" + noise.substr(30007);
  const std::string publish = "publish " + build_.string() + " " + server_.string() + " --sign " + key.string() +
                              " --release 2 --delta-from " + base.string();
  ASSERT_EQ(Run(publish), 0);
  const std::string manifest = ReadAll(server_ / "ModelMD5.dll");
  EXPECT_NE(manifest.find("[Patches]\r\nVelkor.1=Velkor.dll."), std::string::npos);
  EXPECT_NE(manifest.find("\r\nTobrin.1=Tobrin.dll."), std::string::npos);
  EXPECT_EQ(manifest.find("Drimsa.1="), std::string::npos) << "a patch for a module that did not change";
  EXPECT_NE(manifest.find("[Compressed]\r\nVelkor="), std::string::npos);
  ASSERT_EQ(Run("verify " + server_.string() + " " + key.string() + ".pub --delta-from " + base.string()), 0);
  // verify applies each patch: a damaged one is named.
  fs::path patch;
  for (const auto& entry : fs::directory_iterator(server_))
    if (entry.path().extension() == ".patch" && entry.path().filename().string().rfind("Velkor", 0) == 0) patch = entry.path();
  ASSERT_FALSE(patch.empty());
  const std::string good = ReadAll(patch);
  std::string bad = good;
  bad[bad.size() - 3] ^= 1;
  std::ofstream(patch, std::ios::binary | std::ios::trunc) << bad;
  EXPECT_EQ(Run("verify " + server_.string() + " " + key.string() + ".pub --delta-from " + base.string()), 1);
  EXPECT_NE(ReadAll(root_ / "err").find(patch.filename().string()), std::string::npos);
  std::ofstream(patch, std::ios::binary | std::ios::trunc) << good;
  // diff and patch by hand give the new file byte for byte.
  const fs::path made = root_ / "made.patch", out = root_ / "out";
  ASSERT_EQ(Run("diff " + (base / "Velkor.dll").string() + " " + (build_ / "Velkor.dll").string() + " " + made.string()), 0);
  ASSERT_EQ(Run("patch " + (base / "Velkor.dll").string() + " " + made.string() + " " + out.string()), 0);
  EXPECT_TRUE(ReadAll(out) == ReadAll(build_ / "Velkor.dll"));
  EXPECT_EQ(Run("patch " + (base / "Tobrin.dll").string() + " " + made.string() + " " + out.string()), 1);
  EXPECT_NE(ReadAll(root_ / "err").find("another old file"), std::string::npos);
}

TEST_F(ReleaseTool, ARolloutKeepsTheModulesBumpsTheNumberAndSignsAgain) {
  const fs::path key = root_ / "k";
  ASSERT_EQ(Run("keygen " + key.string()), 0);
  ASSERT_EQ(Run("publish " + build_.string() + " " + server_.string() + " --sign " + key.string() +
                " --release 7 --rollout 10 --probation 30"), 0);
  const Manifest first = Manifest::Parse(ReadAll(server_ / "ModelMD5.dll"));
  ASSERT_TRUE(first.signedRelease && first.rolloutPercent);
  EXPECT_EQ(*first.rolloutPercent, 10);
  EXPECT_EQ(first.ProbationSeconds(), 30);
  ASSERT_EQ(Run("rollout " + server_.string() + " 50 --sign " + key.string()), 0);
  EXPECT_NE(ReadAll(root_ / "out").find("release 8: 50 %"), std::string::npos) << ReadAll(root_ / "out");
  const Manifest second = Manifest::Parse(ReadAll(server_ / "ModelMD5.dll"));
  ASSERT_TRUE(second.signedRelease && second.rolloutPercent);
  EXPECT_EQ(second.signedRelease->number, 8);
  EXPECT_EQ(*second.rolloutPercent, 50);
  EXPECT_EQ(second.ProbationSeconds(), 30);
  EXPECT_EQ(second.fingerprints, first.fingerprints);
  EXPECT_EQ(second.signedRelease->modules.at("Zibrun").sha256, first.signedRelease->modules.at("Zibrun").sha256);
  EXPECT_EQ(Run("verify " + server_.string() + " " + key.string() + ".pub"), 0) << ReadAll(root_ / "err");
  // A halt, and the status; a signed release is never staged without its key.
  ASSERT_EQ(Run("rollout " + server_.string() + " 0 --sign " + key.string()), 0);
  ASSERT_EQ(Run("rollout " + server_.string() + " --status"), 0);
  EXPECT_NE(ReadAll(root_ / "out").find("release 9: 0 % (halted"), std::string::npos) << ReadAll(root_ / "out");
  EXPECT_EQ(Run("rollout " + server_.string() + " 100"), 1);
  EXPECT_EQ(Run("rollout " + server_.string() + " 101 --sign " + key.string()), 2);
  EXPECT_EQ(Manifest::Parse(ReadAll(server_ / "ModelMD5.dll")).signedRelease->number, 9);
}

// What the tool signs anew, it checked first: a refused step writes nothing.
TEST_F(ReleaseTool, RefusedSigningStepsLeaveTheFolderByteForByte) {
  const fs::path key = root_ / "k", other = root_ / "other";
  ASSERT_EQ(Run("keygen " + key.string()), 0);
  ASSERT_EQ(Run("keygen " + other.string()), 0);
  const std::string signedPublish = "publish " + build_.string() + " " + server_.string() + " --sign " + key.string();
  auto snapshot = [&] {
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::directory_iterator(server_)) files[entry.path().filename().string()] = ReadAll(entry.path());
    return files;
  };
  auto appendTo = [&](const char* name, const std::string& text) {
    return [=] { std::ofstream(server_ / name, std::ios::binary | std::ios::app) << text; };
  };
  struct Case {
    const char* what;
    std::function<void()> tamper;  // done to the folder before the step
    std::string step;
    const char* says;  // in the refusal
  } cases[] = {
      {"a module added to the manifest", appendTo("ModelMD5.dll", "[Extra]\r\nx=1\r\n"),
       "rollout " + server_.string() + " 50 --sign " + key.string(), "does not verify with this key"},
      {"the stage raised by hand", [&] {
         std::string text = ReadAll(server_ / "ModelMD5.dll");
         text.replace(text.find("Percent=10"), 10, "Percent=90");
         std::ofstream(server_ / "ModelMD5.dll", std::ios::binary) << text;
       }, "rollout " + server_.string() + " 100 --sign " + key.string(), "does not verify with this key"},
      {"the signature removed", [&] { fs::remove(server_ / "ModelMD5.sig"); },
       "rollout " + server_.string() + " 50 --sign " + key.string(), "no signature"},
      {"another key", [] {}, "rollout " + server_.string() + " 50 --sign " + other.string(), "does not verify"},
      {"a signed folder staged unsigned", [] {}, "rollout " + server_.string() + " 50", "must be signed too"},
      {"the same number again", [] {}, signedPublish + " --release 7", "use --release 8"},
      {"a lower number", [] {}, signedPublish + " --release 3", "use --release 8"},
      {"a number out of range", [] {}, signedPublish + " --release 4294967296", "--release needs a number from 0"},
  };
  for (const Case& c : cases) {
    fs::remove_all(server_);
    ASSERT_EQ(Run(signedPublish + " --release 7 --rollout 10"), 0) << c.what;
    c.tamper();
    const auto before = snapshot();
    EXPECT_NE(Run(c.step), 0) << c.what;
    EXPECT_NE(ReadAll(root_ / "err").find(c.says), std::string::npos) << c.what << ": " << ReadAll(root_ / "err");
    EXPECT_EQ(snapshot(), before) << c.what;
  }
  // After a rollout the folder's number is 8: the next publish names 9.
  fs::remove_all(server_);
  ASSERT_EQ(Run(signedPublish + " --release 7 --rollout 10"), 0);
  ASSERT_EQ(Run("rollout " + server_.string() + " 50 --sign " + key.string()), 0);
  EXPECT_EQ(Run(signedPublish + " --release 8"), 1);
  EXPECT_NE(ReadAll(root_ / "err").find("use --release 9"), std::string::npos);
  EXPECT_EQ(Run(signedPublish + " --release 9"), 0);
  // An unsigned release with a plain-http mirror publishes, with a warning.
  EXPECT_EQ(Run("publish " + build_.string() + " " + (root_ / "plain").string() + " --mirror http://m.example/v/"), 0);
  EXPECT_NE(ReadAll(root_ / "err").find("warning: the mirror http://m.example/v/ is plain http"), std::string::npos);
}
