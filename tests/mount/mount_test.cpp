// korvex-mount against korvexd, driven by the standard tools a person would
// use on a folder. Each case is a shell step run in order on one mount:
// $M is the mount, $R the service's root (what the phone holds), $L local
// scratch space.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <optional>
#include <thread>

#include "link_proxy.h"
#include "mount_harness.h"
#include "scripted_peer.h"
#include "service_process.h"
#include "temp_dir.h"

namespace korvex::test {
namespace {

struct Step {
  const char* what;
  const char* script;
  bool succeeds;
  const char* output;  // a piece of the output to expect; "" for none
};

class MountTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string why = fuseUnavailable();
    if (!why.empty()) GTEST_SKIP() << "FUSE mounts are not possible here (" << why << "); mount tests skipped";
    service_.emplace();
  }

  void mount(std::vector<std::string> extraArgs = {}) {
    mount_ = std::make_unique<MountProcess>(service_->address(), service_->password(), std::move(extraArgs));
  }

  std::map<std::string, std::string> env() const {
    return {{"M", mount_->path().string()}, {"R", service_->root().string()}, {"L", local_.path().string()}};
  }

  void walk(const std::vector<Step>& steps) {
    for (const Step& step : steps) {
      SCOPED_TRACE(step.what);
      const ShellResult result = runShell(step.script, env());
      ASSERT_FALSE(result.timedOut) << step.script;
      EXPECT_EQ(result.status == 0, step.succeeds)
          << step.script << "\nexit " << result.status << ": " << result.output << "\nmount log:\n"
          << mount_->log();
      EXPECT_NE(result.output.find(step.output), std::string::npos) << step.script << "\n" << result.output;
    }
  }

  // Unsent files are kept at release, which the kernel sends after close()
  // has returned.
  static bool waitFor(const std::filesystem::path& path) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!std::filesystem::exists(path)) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
  }

  static std::vector<std::string> entries(const std::filesystem::path& dir) {
    std::vector<std::string> names;
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator(dir, ignored)) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }

  void TearDown() override {
    mount_.reset();  // before the service: the mount's last calls reach it
    service_.reset();
  }

  TempDir local_;
  std::optional<ServiceProcess> service_;
  std::unique_ptr<MountProcess> mount_;
};

TEST_F(MountTest, StandardToolsWorkOnTheMount) {
  writeFile(local_ / "short", "short");
  std::filesystem::create_directories(local_ / "tree/sub/deeper");
  writeFile(local_ / "tree/one.txt", "one\n");
  writeFile(local_ / "tree/empty", "");
  writeFile(local_ / "tree/with space.txt", "spaced\n");
  writeFile(local_ / "tree/big.bin", patterned(6 << 20, 1));
  writeFile(local_ / "tree/sub/x.bin", patterned(3 << 20, 2));
  writeFile(local_ / "tree/sub/deeper/y.txt", "y\n");
  std::filesystem::create_directory(service_->root() / "photos");
  writeFile(service_->root() / "photos/big.jpg", patterned(12 << 20, 3));
  mount();

  const std::string longName(252, 'n');  // fits a local name, not the phone's 254-byte rename
  const std::string renameTooLong = "mv $M/a/b $M/a/" + longName;
  walk({
      {"mkdir -p makes every level", "mkdir -p $M/a/b/c && test -d $R/a/b/c", true, ""},
      {"cp -r copies a tree in", "cp -r $L/tree $M/a/ && diff -r $L/tree $R/a/tree", true, ""},
      {"ls -l shows kinds and sizes",
       "ls -l $M/a/tree > $L/ls && grep -q '^-.* 6291456 .* big.bin$' $L/ls && grep -q '^d.* sub$' $L/ls && "
       "grep -q '^-.* 0 .* empty$' $L/ls",
       true, ""},
      {"diff -r reads the tree back", "diff -r $L/tree $M/a/tree", true, ""},
      {"cmp reads a file of several MiB the phone holds", "cmp $R/photos/big.jpg $M/photos/big.jpg", true, ""},
      {"cp -r copies a tree out", "cp -r $M/a/tree $L/out && diff -r $L/tree $L/out", true, ""},
      {"mv renames a file",
       "mv $M/a/tree/one.txt $M/a/tree/uno.txt && test -f $R/a/tree/uno.txt && ! test -e $R/a/tree/one.txt && "
       "! test -e $M/a/tree/one.txt",
       true, ""},
      {"mv moves a directory", "mv $M/a/tree/sub $M/a/b/ && diff -r $L/tree/sub $R/a/b/sub && ! test -e $M/a/tree/sub",
       true, ""},
      {"cp over a file replaces it",
       "cp $L/short $M/a/tree/big.bin && cmp $L/short $R/a/tree/big.bin && test $(stat -c %s $M/a/tree/big.bin) = 5",
       true, ""},
      {"appending rewrites the whole file",
       "cp $L/tree/one.txt $L/expect && printf tail >> $L/expect && printf tail >> $M/a/tree/uno.txt && "
       "cmp $L/expect $R/a/tree/uno.txt",
       true, ""},
      {"truncate cuts a file", "truncate -s 2 $M/a/tree/uno.txt && test $(stat -c %s $R/a/tree/uno.txt) = 2", true, ""},
      // Sent at release, which follows close().
      {"> alone empties a file",
       ": > $M/a/tree/uno.txt && for i in $(seq 100); do test -s $R/a/tree/uno.txt || break; sleep 0.05; done && "
       "test -f $R/a/tree/uno.txt && ! test -s $R/a/tree/uno.txt",
       true, ""},
      {"rmdir of a directory with files is refused", "rmdir $M/a/tree", false, "Directory not empty"},
      {"rm -r removes a tree", "rm -r $M/a/tree && ! test -e $R/a/tree && ! test -e $M/a/tree", true, ""},
      {"df shows the phone's free space",
       "m=$(df -k --output=avail $M | tail -1) && r=$(df -k --output=avail $R | tail -1) && "
       "test $m -gt $((r / 100 * 99)) && test $m -lt $((r / 100 * 101))",
       true, ""},
      {"chmod to the mode shown is accepted", "chmod $(stat -c %a $M/a/b) $M/a/b", true, ""},
      {"chmod to another mode is refused", "chmod 0500 $M/a/b", false, "Operation not permitted"},
      {"symbolic links are refused", "ln -s target $M/a/link", false, "Operation not permitted"},
      {"a rename longer than the phone takes is refused", renameTooLong.c_str(), false, "File name too long"},
      {"sizes from 2 to 4 GiB read as unsigned", "truncate -s 3G $R/huge && stat -c %s $M/huge", true, "3221225472"},
  });
  EXPECT_EQ(mount_->unmount(), 0) << mount_->log();
}

// What copying programs carry over from their source: the phone keeps no
// times, so setting them is accepted and ignored; a file being written here
// takes the source's mode (and shows the phone's). Each says nothing.
TEST_F(MountTest, ProgramsThatPreserveModesAndTimesSucceedSilently) {
  std::filesystem::create_directories(local_ / "tree/sub");
  writeFile(local_ / "tree/one.txt", "one\n");
  writeFile(local_ / "tree/sub/private", "private\n");
  mount();
  // The output is shown, then required empty.
  walk({
      {"mv from a local disk",
       "printf a > $L/a.txt && out=$(mv $L/a.txt $M/a.txt 2>&1); echo \"$out\"; test -z \"$out\" && "
       "test $(cat $R/a.txt) = a && ! test -e $L/a.txt",
       true, ""},
      {"mv of an executable and of a private file",
       "printf x > $L/run && chmod 755 $L/run && printf y > $L/own && chmod 600 $L/own && "
       "out=$(mv $L/run $L/own $M/ 2>&1); echo \"$out\"; test -z \"$out\" && test -f $R/run && test -f $R/own",
       true, ""},
      {"sed -i edits a file in place",
       "printf 'one\\n' > $M/s.txt && out=$(sed -i s/one/two/ $M/s.txt 2>&1); echo \"$out\"; test -z \"$out\" && "
       "test $(cat $R/s.txt) = two && test $(ls $R | grep -c sed) = 0",
       true, ""},
      {"touch makes a file and sets times", "touch $M/t && touch $M/t && touch -d 2000-01-01 $M/t && test -f $R/t",
       true, ""},
      {"cp -p keeps what it can", "chmod 600 $L/tree/sub/private && cp -p $L/tree/sub/private $M/p && cmp $L/tree/sub/private $R/p",
       true, ""},
      {"cp -a copies a tree",
       "find $L/tree -type d -exec chmod $(stat -c %a $M) {} + && cp -a $L/tree $M/tree-a && diff -r $L/tree $R/tree-a",
       true, ""},
      {"a mode set on a file at rest is still refused", "chmod 0500 $M/t", false, "Operation not permitted"},
  });
}

// A listing brings every entry's kind and size: what ls -l and find show
// through the mount is what the phone holds, over several parts of a long
// listing. A directory whose batch the phone refuses (one file's path is
// longer than it takes) is still listed, by names.
TEST_F(MountTest, ListingsShowThePhonesKindsAndSizes) {
  const std::filesystem::path many = service_->root() / "many";
  std::filesystem::create_directory(many);
  for (int i = 0; i < 300; ++i) writeFile(many / ("f" + std::to_string(i)), patterned(static_cast<std::size_t>(i) * 37, i));
  for (int i = 0; i < 5; ++i) std::filesystem::create_directories(many / ("d" + std::to_string(i)) / "inner");
  const std::string part(200, 'p');
  const std::filesystem::path deep = service_->root() / part / part / part / part;
  std::filesystem::create_directories(deep);
  writeFile(deep / "short", "s");
  writeFile(deep / std::string(230, 'n'), "too long a path for the phone");
  mount({"--attr-timeout", "60"});
  // Kind, size for files, name: the same whether asked of the mount or of
  // the phone's own root.
  const std::string shape = "find . -mindepth 1 -printf '%y %P\\n' -type f -printf '%s %P\\n' | sort";
  const std::string findSame =
      "(cd $R/many && " + shape + ") > $L/want && (cd $M/many && " + shape + ") > $L/got && diff $L/want $L/got";
  const std::string lsLong = "ls -l $M/many | awk '/^-/ {print $5, $NF} /^d/ {print \"dir\", $NF}' | sort";
  const std::string lsSame = "(cd $R/many && for f in *; do if [ -d $f ]; then echo dir $f; else echo $(stat -c %s $f) "
                             "$f; fi; done | sort) > $L/want && " + lsLong + " > $L/got && diff $L/want $L/got";
  const std::string deepPath = "$M/" + part + "/" + part + "/" + part + "/" + part;
  const std::string deepList = "ls " + deepPath + " | grep -c .";
  const std::string deepStat = "stat -c %s " + deepPath + "/short";
  walk({
      {"every entry is listed", "ls $M/many | wc -l", true, "305\n"},
      {"find shows kinds and sizes", findSame.c_str(), true, ""},
      {"ls -l shows kinds and sizes", lsSame.c_str(), true, ""},
      {"ls -l again, from what the kernel keeps", lsSame.c_str(), true, ""},
      {"a directory holding a file path too long for the phone is listed by names", deepList.c_str(), true, "2"},
      {"and its files' sizes asked one by one", deepStat.c_str(), true, "1"},
  });
}

// Small files go whole on sessions kept logged in: a tree copied out and
// back in costs a few connections, not one (with its log-in) per file. A
// file above the whole-copy size streams on a connection of its own.
TEST_F(MountTest, SmallCopiesReuseLoggedInSessions) {
  constexpr int kFiles = 12;
  const std::filesystem::path tree = service_->root() / "tree";
  std::filesystem::create_directories(tree / "sub");
  for (int i = 0; i < kFiles; ++i) {
    writeFile(tree / (i % 2 ? "sub" : "") / ("f" + std::to_string(i)), patterned(1000 + 97 * i, i));
  }
  writeFile(service_->root() / "big.bin", patterned(3 * 1024 * 1024, 9));
  LinkProxy counter(service_->port(), LinkShape{});
  ASSERT_TRUE(counter.listening());
  mount_ = std::make_unique<MountProcess>(counter.address(), service_->password());
  walk({
      {"a tree out", "cp -r $M/tree $L/out && diff -r $R/tree $L/out", true, ""},
      {"and back in", "cp -r $L/out $M/back && diff -r $L/out $R/back", true, ""},
      // What the mount learnt from its own mkdir and uploads, not asked again.
      {"the copy in shows its kinds and sizes at once",
       "(cd $L/out && find . -mindepth 1 -printf '%y %P\\n' -type f -printf '%s %P\\n' | sort) > $L/w && "
       "(cd $M/back && find . -mindepth 1 -printf '%y %P\\n' -type f -printf '%s %P\\n' | sort) > $L/g && "
       "diff $L/w $L/g",
       true, ""},
  });
  // The mount's own session, and at most one per copy at once (four).
  EXPECT_LE(counter.accepted(), 5u);
  const std::uint64_t beforeBig = counter.accepted();
  walk({{"a large file streams", "cmp $M/big.bin $R/big.bin", true, ""}});
  EXPECT_EQ(counter.accepted(), beforeBig + 1);
}

// A small file comes whole on a pooled session at open(): a link lost
// half-way through fails the open, and no part of the file passes for it.
TEST_F(MountTest, ALinkLostMidCopyFailsTheOpen) {
  const std::string content = patterned(900 * 1024, 5);
  writeFile(service_->root() / "mid.bin", content);
  // About 1.8 s for the file; the link is cut well inside that.
  LinkProxy link(service_->port(), LinkShape{std::chrono::microseconds(0), 4e6});
  ASSERT_TRUE(link.listening());
  mount_ = std::make_unique<MountProcess>(link.address(), service_->password());
  Shell reading("cat $M/mid.bin > $L/out", env());
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (link.accepted() < 2 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_EQ(link.accepted(), 2u) << "the copy's session never connected\n" << mount_->log();
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  link.stop();
  const ShellResult read = reading.wait();
  EXPECT_NE(read.status, 0) << read.output;
  EXPECT_NE(read.output.find("Input/output error"), std::string::npos) << read.output;
  EXPECT_LT(readFile(local_ / "out").size(), content.size());
  EXPECT_EQ(readFile(service_->root() / "mid.bin"), content);
}

// A file changed on the phone behind the mount's back: what the kernel kept
// of it (its pages too, read twice before) gives way once the attribute
// time-out has passed, whether or not the size changed.
TEST_F(MountTest, AFileChangedOnThePhoneIsSeenAfterTheAttributeTimeOut) {
  mount({"--attr-timeout", "0.3"});
  const struct {
    const char* what;
    std::size_t before;
    std::size_t after;
  } cases[] = {
      {"the same size", 200000, 200000},
      {"larger", 5000, 300000},
      {"smaller", 300000, 7000},
  };
  unsigned seed = 20;
  for (const auto& row : cases) {
    SCOPED_TRACE(row.what);
    // A name of its own: the last case's change is still within its time-out.
    const std::string name = "changed" + std::to_string(seed) + ".bin";
    writeFile(service_->root() / name, patterned(row.before, ++seed));
    const std::string readTwice = "cmp $R/" + name + " $M/" + name + " && cmp $R/" + name + " $M/" + name;
    walk({{"read twice through the mount", readTwice.c_str(), true, ""}});
    writeFile(service_->root() / name, patterned(row.after, ++seed));
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    const std::string size = "stat -c %s $M/" + name, expected = std::to_string(row.after) + "\n";
    const std::string content = "cmp $R/" + name + " $M/" + name;
    walk({{"the new size", size.c_str(), true, expected.c_str()}, {"the new content", content.c_str(), true, ""}});
  }
}

// The phone only says no: the mount asks it why, and the standard tools
// print the errno that follows. Each path is changed behind the mount's back
// after the mount has seen it (kept for a minute), so the kernel passes the
// request on and the phone refuses it.
TEST_F(MountTest, RefusalsReadAsTheErrnoOfTheirCause) {
  mount({"--attr-timeout", "60"});
  walk({
      {"mkdir of a name made meanwhile", "ls $M > /dev/null && mkdir $R/made && mkdir $M/made", false, "File exists"},
      {"rm of a file removed meanwhile", "touch $R/gone && stat $M/gone > /dev/null && rm $R/gone && rm $M/gone", false,
       "No such file or directory"},
      {"rm of a file that became a directory",
       "touch $R/now-dir && stat $M/now-dir > /dev/null && rm $R/now-dir && mkdir $R/now-dir && rm $M/now-dir", false,
       "Is a directory"},
      {"rmdir of a directory removed meanwhile",
       "mkdir $R/gone-dir && stat $M/gone-dir > /dev/null && rmdir $R/gone-dir && rmdir $M/gone-dir", false,
       "No such file or directory"},
      {"rmdir of a directory that became a file",
       "mkdir $R/now-file && stat $M/now-file > /dev/null && rmdir $R/now-file && touch $R/now-file && "
       "rmdir $M/now-file",
       false, "Not a directory"},
      {"ls of a directory that became a file",
       "mkdir $R/listed && stat $M/listed > /dev/null && rmdir $R/listed && touch $R/listed && ls $M/listed", false,
       "Not a directory"},
      {"mv of a directory onto one that is not empty", "mkdir -p $M/from $M/onto/x && mv -T $M/from $M/onto", false,
       "Directory not empty"},
      {"mv of a file removed meanwhile",
       "touch $R/moved && stat $M/moved > /dev/null && rm $R/moved && mv $M/moved $M/moved2", false,
       "No such file or directory"},
      {"cat of a file removed meanwhile",
       "echo x > $R/read && stat $M/read > /dev/null && rm $R/read && cat $M/read", false, "No such file or directory"},
      {"chown of a file removed meanwhile",
       "touch $R/owned && stat $M/owned > /dev/null && rm $R/owned && chown 0:0 $M/owned", false,
       "No such file or directory"},
      {"chown reaches the phone",
       "if [ $(id -u) = 0 ]; then o=1:1; else o=$(id -u):$(id -g); fi; touch $R/owner && chown $o $M/owner && "
       "test $(stat -c %u:%g $R/owner) = $o",
       true, ""},
  });
}

// The service goes away while cp writes: close() reports the failed upload,
// the mount stays and fails with EIO, and a service back on the same port is
// used again without remounting.
TEST_F(MountTest, AFailedUploadFailsCpAndTheMountReconnects) {
  mount();
  const std::filesystem::path fifo = local_ / "pipe";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  // cp opens its source first and its destination only once the source is
  // open, so the pipe decides when the destination is made.
  Shell copy("cp $L/pipe $M/late.bin", env());
  int writer = -1;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (writer < 0 && std::chrono::steady_clock::now() < deadline) {
    writer = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);  // ENXIO until cp opens it
    if (writer < 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  ASSERT_GE(writer, 0) << "cp never opened the pipe";
  while (!std::filesystem::exists(mount_->path() / "late.bin") && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  ASSERT_TRUE(std::filesystem::exists(mount_->path() / "late.bin")) << mount_->log();
  const std::uint16_t port = service_->port();
  service_->stop();
  ASSERT_EQ(::write(writer, "data", 4), 4);
  ::close(writer);

  const ShellResult copied = copy.wait();
  EXPECT_NE(copied.status, 0) << copied.output;
  EXPECT_NE(copied.output.find("Input/output error"), std::string::npos) << copied.output;
  // What cp wrote is the only copy: kept, and where is logged.
  const std::filesystem::path kept = mount_->defaultUnsentDir() / "late.bin";
  ASSERT_TRUE(waitFor(kept)) << mount_->log();
  EXPECT_EQ(readFile(kept), "data");
  EXPECT_NE(mount_->log().find("error: /late.bin: not sent to the phone; what was written is kept in " + kept.string()),
            std::string::npos)
      << mount_->log();

  walk({{"a lost service fails operations with EIO", "ls $M", false, "Input/output error"},
        {"the mount stays", "mountpoint -q $M", true, ""}});

  service_.reset();
  ServiceProcess::Options again;
  again.extraArgs = {"--listen", "127.0.0.1:" + std::to_string(port)};
  service_.emplace(again);
  writeFile(service_->root() / "back.txt", "back\n");
  walk({{"the next operation connects again", "ls $M", true, "back.txt"},
        {"and writes reach the phone",
         "echo new > $L/new && cp $L/new $M/new && "
         "cmp $L/new $R/new",
         true, ""}});
  EXPECT_NE(mount_->log().find("connected to " + service_->address() + " again"), std::string::npos) << mount_->log();
  EXPECT_EQ(entries(mount_->defaultUnsentDir()), std::vector<std::string>{"late.bin"});  // what was sent is not kept
}

// The service takes the bytes but cannot store them (its file-size limit):
// the phone keeps its old file, of the very size sent, so only the
// library's confirmation tells. close() fails and nothing written is lost.
TEST_F(MountTest, WhatThePhoneCannotStoreIsKeptUnsent) {
  const std::string old = patterned(100 * 1024, 5);
  std::filesystem::create_directory(service_->root() / "d");
  writeFile(service_->root() / "same.bin", old);
  writeFile(service_->root() / "d/same.bin", old);
  const rlimit limit{64 * 1024, 64 * 1024};
  ASSERT_EQ(0, ::prlimit(static_cast<pid_t>(service_->pid()), RLIMIT_FSIZE, &limit, nullptr));
  // Beside the cache (linked in), and on another file system when there is
  // one (copied, then the cache file removed).
  std::vector<std::filesystem::path> places{local_ / "unsent"};
  std::unique_ptr<TempDir> shm;
  struct stat here {}, there {};
  if (::stat("/dev/shm", &there) == 0 && ::stat(local_.path().c_str(), &here) == 0 && here.st_dev != there.st_dev) {
    shm = std::make_unique<TempDir>("korvex-unsent", "/dev/shm");
    places.push_back(shm->path() / "unsent");
  }
  const struct {
    const char* what;
    const char* script;
    unsigned seed;
    const char* phonePath;
    const char* kept;
  } cases[] = {
      {"cp", "cp $L/new $M/same.bin", 6, "same.bin", "same.bin"},
      {"a shell redirection, to the same path again", "cat $L/new > $M/same.bin", 7, "same.bin", "same.bin.1"},
      {"in a directory", "cp $L/new $M/d/same.bin", 8, "d/same.bin", "d%2Fsame.bin"},
  };
  for (const std::filesystem::path& unsent : places) {
    SCOPED_TRACE(unsent);
    mount({"--unsent-dir", unsent.string()});
    for (const auto& row : cases) {
      SCOPED_TRACE(row.what);
      const std::string data = patterned(old.size(), row.seed);
      writeFile(local_ / "new", data);
      const ShellResult result = runShell(row.script, env());
      ASSERT_FALSE(result.timedOut);
      EXPECT_NE(result.status, 0) << result.output << "\nmount log:\n" << mount_->log();
      EXPECT_NE(result.output.find("Input/output error"), std::string::npos) << result.output;
      ASSERT_TRUE(waitFor(unsent / row.kept)) << mount_->log();
      // Compared whole, reported by size: the bytes would flood the output.
      const std::string kept = readFile(unsent / row.kept), held = readFile(service_->root() / row.phonePath);
      EXPECT_TRUE(kept == data) << "kept " << kept.size() << " bytes";
      EXPECT_TRUE(held == old) << "the phone holds " << held.size() << " bytes\nmount log:\n" << mount_->log();
    }
    EXPECT_EQ(entries(unsent), (std::vector<std::string>{"d%2Fsame.bin", "same.bin", "same.bin.1"}));
    // Nothing of it stays in the cache.
    EXPECT_EQ(mount_->unmount(), 0) << mount_->log();
    EXPECT_TRUE(std::filesystem::is_empty(mount_->cacheParent())) << mount_->log();
    mount_.reset();
  }
}

// No unsent directory can be made: the written file stays in the cache,
// which the unmount then leaves in place.
TEST_F(MountTest, AFileThatCannotBeKeptUnsentStaysInTheCache) {
  writeFile(local_ / "plain-file", "");
  const rlimit limit{64 * 1024, 64 * 1024};
  ASSERT_EQ(0, ::prlimit(static_cast<pid_t>(service_->pid()), RLIMIT_FSIZE, &limit, nullptr));
  mount({"--unsent-dir", (local_ / "plain-file/unsent").string()});
  const std::string data = patterned(100 * 1024, 9);
  writeFile(local_ / "new", data);
  const ShellResult result = runShell("cp $L/new $M/lost.bin", env());
  EXPECT_NE(result.status, 0) << result.output;
  EXPECT_EQ(mount_->unmount(), 0) << mount_->log();
  const std::string log = mount_->log();
  const std::string marker = "it stays in ";
  const std::size_t at = log.find(marker);
  ASSERT_NE(at, std::string::npos) << log;
  const std::filesystem::path left = log.substr(at + marker.size(), log.find('\n', at) - at - marker.size());
  EXPECT_EQ(left.parent_path().parent_path().parent_path(), mount_->cacheParent()) << log;
  EXPECT_TRUE(readFile(left) == data) << log;
}

// A phone that lists "..", names with a backslash or terminal escapes: ls
// shows none of them, and the log shows them escaped, once.
TEST_F(MountTest, PhoneNamesThatAreNotPlainNamesAreLeftOut) {
  const std::string title = "\x1b]2;owned\x07";
  AnsweringPeer peer({".", "..", "..\\x", title, "\x1b[31mred", "plain"});  // as files and as directories
  mount_ = std::make_unique<MountProcess>("127.0.0.1:" + std::to_string(peer.port()), "any");
  for (int run = 0; run < 2; ++run) {
    const ShellResult listed = runShell("LC_ALL=C ls -a $M", env());
    EXPECT_EQ(listed.status, 0) << listed.output << mount_->log();
    EXPECT_EQ(listed.output, ".\n..\nplain\nplain\n");
  }
  const std::string log = mount_->log();
  EXPECT_EQ(log.find('\x1b'), std::string::npos) << log;
  const auto count = [&log](const std::string& text) {
    std::size_t n = 0;
    for (std::size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++n;
    return n;
  };
  EXPECT_EQ(count("\"..\\134x\""), 1u) << log;
  EXPECT_EQ(count("\"\\033]2;owned\\007\""), 1u) << log;
  EXPECT_EQ(count("\"\\033[31mred\""), 1u) << log;
  mount_.reset();  // before the peer goes
}

// Other users reach the files as the user who mounted: the kernel checks
// the modes shown.
TEST_F(MountTest, AllowOtherImpliesDefaultPermissions) {
  if (::geteuid() != 0 && runShell("grep -qx '[[:space:]]*user_allow_other[[:space:]]*' /etc/fuse.conf", {}).status != 0)
    GTEST_SKIP() << "allow_other needs root or user_allow_other in /etc/fuse.conf";
  const struct {
    std::vector<std::string> args;
    bool checked;
  } cases[] = {
      {{"-o", "allow_other"}, true},
      {{"-o", "ro,allow_other"}, true},
      {{"-o", "ro"}, false},
      {{}, false},
  };
  for (const auto& row : cases) {
    SCOPED_TRACE(row.args.empty() ? "no options" : row.args.back());
    mount(row.args);
    const std::string info = mount_->mountInfo();
    EXPECT_EQ(info.find("default_permissions") != std::string::npos, row.checked) << info;
    mount_.reset();
  }
}

TEST_F(MountTest, TheCacheIsBoundedAndRemovedAtUnmount) {
  writeFile(service_->root() / "two.bin", patterned(2 << 20, 4));
  writeFile(service_->root() / "grows.bin", "small");
  mount({"--cache-size", "1", "--attr-timeout", "60"});
  walk({
      {"a file larger than the cache cannot be read", "cat $M/two.bin > /dev/null", false, "File too large"},
      {"nor one that grew past it since its size was asked",
       "stat $M/grows.bin > /dev/null && head -c 2000000 /dev/zero > $R/grows.bin && cat $M/grows.bin > /dev/null",
       false, "File too large"},
      {"nor written", "head -c 2000000 /dev/zero > $M/w.bin", false, "No space left on device"},
      {"a smaller file goes both ways",
       "head -c 500000 /dev/urandom > $L/s && cp $L/s $M/s && cmp $L/s $R/s && "
       "cmp $L/s $M/s",
       true, ""},
  });
  EXPECT_FALSE(std::filesystem::is_empty(mount_->cacheParent()));
  // Ctrl-C in the foreground unmounts too.
  mount_->signal(SIGINT);
  EXPECT_EQ(mount_->unmount(), 0) << mount_->log();
  EXPECT_FALSE(mount_->mounted());
  EXPECT_TRUE(std::filesystem::is_empty(mount_->cacheParent()));
}

TEST_F(MountTest, AMountThatCannotStartMountsNothing) {
  std::filesystem::create_directory(local_ / "mnt");
  writeFile(local_ / "file", "");
  std::map<std::string, std::string> variables{
      {"K", KORVEX_MOUNT_PATH}, {"A", service_->address()}, {"L", local_.path().string()},
      {"P", service_->password()}};
  const struct {
    const char* script;
    int status;
    const char* output;
  } cases[] = {
      {"KORVEX_PASSWORD=wrong $K --host $A -f $L/mnt", 4, "login refused"},
      {"KORVEX_PASSWORD=wrong $K --host $A $L/mnt", 4, "login refused"},  // checked before going to the background
      {"unset KORVEX_PASSWORD; XDG_CONFIG_HOME=$L/none $K --host $A -f $L/mnt", 2, "no password"},
      // A mount made on the file anyway is undone.
      {"KORVEX_PASSWORD=$P $K --host $A $L/file; s=$?; fusermount3 -uz $L/file 2>/dev/null; exit $s", 2,
       "/file: not a directory (the mount point is an existing empty directory)"},
      {"KORVEX_PASSWORD=$P $K --host $A $L/none", 2, "/none: no such directory"},
  };
  for (const auto& row : cases) {
    const ShellResult result = runShell(row.script, variables, std::chrono::seconds(20));
    EXPECT_EQ(result.status, row.status) << row.script << "\n" << result.output;
    EXPECT_NE(result.output.find(row.output), std::string::npos) << row.script << "\n" << result.output;
    EXPECT_NE(runShell("mountpoint -q $L/mnt", variables).status, 0) << row.script;
  }
}

// The address and the password come from where korvex takes them: the
// environment, a phone named in the configuration file, its [default]. Each
// mount goes to the background, is listed, and is unmounted.
TEST_F(MountTest, TheLoginComesFromWhereKorvexFindsIt) {
  writeFile(service_->root() / "seen.txt", "seen");
  std::filesystem::create_directories(local_ / "mnt");
  std::filesystem::create_directories(local_ / "config/korvex");
  writeFile(local_ / "pw", service_->password() + "\n");
  std::filesystem::permissions(local_ / "pw", std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
  writeFile(local_ / "loose", service_->password() + "\n");
  std::filesystem::permissions(local_ / "loose", std::filesystem::perms::owner_read |
                                                      std::filesystem::perms::owner_write |
                                                      std::filesystem::perms::others_read);
  const std::string address = service_->address(), pw = (local_ / "pw").string();
  writeFile(local_ / "config/korvex/config", "[default]\nhost=" + address + "\npassword-file=" + pw +
                                                 "\n[phone]\nhost=" + address + "\npassword-file=" + pw +
                                                 "\n[loose]\nhost=" + address + "\npassword-file=" +
                                                 (local_ / "loose").string() + "\n");
  const std::map<std::string, std::string> variables{
      {"K", KORVEX_MOUNT_PATH}, {"A", address}, {"L", local_.path().string()}, {"P", service_->password()}};
  const std::string around = "unset KORVEX_HOST KORVEX_PASSWORD; export XDG_CONFIG_HOME=$L/config; ";
  const std::string listed = " $L/mnt && ls $L/mnt; s=$?; fusermount3 -u $L/mnt 2>/dev/null; exit $s";
  const struct {
    std::string script;
    int status;
    const char* output;
  } cases[] = {
      {"KORVEX_HOST=$A KORVEX_PASSWORD=$P XDG_CONFIG_HOME=$L/none $K" + listed, 0, "seen.txt"},
      {"$K --phone phone" + listed, 0, "seen.txt"},
      {"$K" + listed, 0, "seen.txt"},  // [default]
      {"$K --phone loose" + listed, 2, "/loose: the password file is readable by others (chmod 600 it)"},
      {"$K --host $A --password-file $L/loose" + listed, 2, "/loose: the password file is readable by others"},
      {"$K --phone tablet" + listed, 2, "--phone tablet: no such phone in "},
      {"$K --host 127.0.0.1:70000" + listed, 2, "127.0.0.1:70000: the port is out of range (1 to 65535)"},
  };
  for (const auto& row : cases) {
    const ShellResult result = runShell(around + row.script, variables, std::chrono::seconds(20));
    EXPECT_EQ(result.status, row.status) << row.script << "\n" << result.output;
    EXPECT_NE(result.output.find(row.output), std::string::npos) << row.script << "\n" << result.output;
    EXPECT_NE(runShell("mountpoint -q $L/mnt", variables).status, 0) << row.script;
  }
}

}  // namespace
}  // namespace korvex::test
