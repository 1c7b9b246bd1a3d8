// The exact lines the exports write: the transport's failure lines, and the
// trace line of every export (none for the exports that write none). Only
// the calling thread's lines are compared, so keep-alive and transfer
// threads cannot disturb the order.
#include <gtest/gtest.h>
#if !defined(_WIN32)
#include <sys/resource.h>
#include <unistd.h>
#endif

#include <cstdint>
#include <functional>
#include <future>
#include <sstream>
#include <string>
#include <vector>

#include "korvex.h"
#include "net/socket.h"
#include "runtime/platform.h"
#include "session_fixture.h"
#include "temp_dir.h"

namespace korvex::test {
namespace {

// "LABEL|message" for each line the given thread wrote, "" for a line
// without the logger's prefix (the empty line after a message ending in
// "\n"), from byte `from` of the log on.
std::vector<std::string> linesOf(const std::string& log, std::size_t from, int thread) {
  const std::string ids = "[" + std::to_string(platform::processId()) + "-" + std::to_string(thread) + "]";
  std::vector<std::string> lines;
  std::istringstream in(log.substr(from));
  bool lastWasOurs = false;
  for (std::string line; std::getline(in, line);) {
    // "[MM-DD HH:MM:SS.mmm] LABL: [pid-tid]message"
    const std::size_t close = line.find("] ");
    const bool prefixed = !line.empty() && line[0] == '[' && close == 19 && line.size() >= 27 &&
                          line.compare(25, 3, ": [") == 0;
    if (!prefixed) {
      if (lastWasOurs) lines.push_back(line);
      continue;
    }
    lastWasOurs = line.compare(27, ids.size(), ids) == 0;
    if (lastWasOurs) lines.push_back(line.substr(21, 4) + "|" + line.substr(27 + ids.size()));
  }
  return lines;
}

std::uint16_t closedPort() {
  ScriptedPeer gone;
  return gone.port();
}

#if defined(_WIN32)
// The system's text for a refused connection (WSAECONNREFUSED): the text of
// the socket's own error, never of the C runtime's errno.
const std::string kRefusedText = sys::socketErrorText(10061);
#else
const std::string kRefusedText = "Connection refused";

// While it lives, no descriptor can be made: the lowest free one becomes
// the limit. Windows has no such limit.
class NoDescriptorsLeft {
 public:
  NoDescriptorsLeft() {
    getrlimit(RLIMIT_NOFILE, &saved_);
    const int lowest = ::dup(0);
    ::close(lowest);
    rlimit tight = saved_;
    tight.rlim_cur = static_cast<rlim_t>(lowest);
    set_ = lowest >= 0 && setrlimit(RLIMIT_NOFILE, &tight) == 0;
  }
  ~NoDescriptorsLeft() { setrlimit(RLIMIT_NOFILE, &saved_); }
  NoDescriptorsLeft(const NoDescriptorsLeft&) = delete;
  NoDescriptorsLeft& operator=(const NoDescriptorsLeft&) = delete;
  bool set() const { return set_; }

 private:
  rlimit saved_{};
  bool set_ = false;
};
#endif

TEST(TransportLines, EachFailureWritesItsLines) {
  const std::string refused = "127.0.0.1:" + std::to_string(closedPort());
  struct Case {
    const char* what;
    std::string address;
    bool noDescriptors;
    std::vector<std::string> lines;
  };
  const Case cases[] = {
      {"port text that reads as 0, host unknown", "no-such-host.invalid:abc", false,
       {"ERR |Incorrect Port", "ERR |gethostbyname error", "ERR |addr err"}},
      {"unknown host", "no-such-host.invalid", false, {"ERR |gethostbyname error", "ERR |addr err"}},
      {"nothing listens", refused, false,
       {"ERR |Failed to connect to server " + refused + ", reason " + kRefusedText, ""}},
#if !defined(_WIN32)
      {"no descriptor left", refused, true,
       {"ERR |Failed to create socket when connect to fserver " + refused + ", reason Too many open files", ""}},
#endif
  };
  LogCapture log(3);  // errors only
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::size_t from = log.text().size();
    int error = -1;
    SessionHandle handle = nullptr;
    if (c.noDescriptors) {
#if !defined(_WIN32)
      const NoDescriptorsLeft limit;
      ASSERT_TRUE(limit.set());
      handle = Connect(c.address.c_str(), "pw", &error);
#endif
    } else {
      handle = Connect(c.address.c_str(), "pw", &error);
    }
    EXPECT_EQ(nullptr, handle);
    EXPECT_EQ(1, error);
    EXPECT_EQ(c.lines, linesOf(log.text(), from, platform::threadId()));
  }
}

int signedHandle(const void* handle) {
  return static_cast<int>(static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(handle)));
}

TEST(TraceLines, EveryExportWritesExactlyItsOwn) {
  LogCapture log(7);  // trace lines and errors
  TempDir dir;
  const std::string local = (dir / "local").string();
  const std::string fetched = (dir / "fetched").string();
  writeFile(local, "abc");
  const int thread = platform::threadId();

  ScriptedPeer peer;
  std::size_t from = log.text().size();
  // Connect runs on this thread, the peer's side of the login on another.
  auto login = std::async(std::launch::async, [&] { peer.acceptLogin(); });
  const SessionHandle handle = Connect(peer.address().c_str(), "hunter2", nullptr);
  login.get();
  ASSERT_NE(nullptr, handle);
  const unsigned number = static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(handle));
  const std::string shortIds = "[" + std::to_string(platform::processId()) + "-" + std::to_string(thread) + "]";
  EXPECT_EQ((std::vector<std::string>{"DBUG|" + shortIds + "CONNECT IP " + peer.address() + " pasw ********",
                                      "DBUG|" + shortIds + "OSKAVEL INIT",
                                      "DBUG|" + shortIds + "RET NEW HANDLE " + std::to_string(number)}),
            linesOf(log.text(), from, thread));

  // Every command now fails at once: the trace line comes first all the same.
  peer.close();
  peer.stopListening();
  const std::string ids =
      "[" + std::to_string(platform::processId()) + "-" + std::to_string(thread) + "-" + std::to_string(signedHandle(handle)) + "]";
  char* names = nullptr;
  const unsigned out = static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(&names));
  char connected = 0, address[64], name[64];
  KorvexEntry* entries = nullptr;
  const char* sizePaths[] = {"/a", "/b"};
  long long sizes[2] = {};
  struct Case {
    const char* what;
    std::function<void()> call;
    std::vector<std::string> lines;
  };
  const Case cases[] = {
      {"ConnectionState", [&] { ConnectionState(handle, &connected, address, name); },
       {"DBUG|" + ids + "connection state"}},
      {"Rename", [&] { Rename(handle, "/a", "/b"); }, {"DBUG|" + ids + "RENAME SOURCE /a DEST /b"}},
      {"DeletePhoneFile", [&] { DeletePhoneFile(handle, "/f"); }, {"DBUG|" + ids + "Delete Phone file /f"}},
      {"DeleteDirectory", [&] { DeleteDirectory(handle, "/d", true); }, {"DBUG|" + ids + "Delete Directory /d"}},
      {"CreatePhoneDirectory", [&] { CreatePhoneDirectory(handle, "/d"); },
       {"DBUG|" + ids + "Create Phone Directory /d"}},
      {"FileSize", [&] { FileSize(handle, "/f"); }, {"DBUG|" + ids + "Get File Size /f"}},
      {"Exists", [&] { Exists(handle, "/f"); }, {"DBUG|" + ids + std::to_string(number) + " Exists /f"}},
      {"IsDirectory", [&] { IsDirectory(handle, "/d"); }, {"DBUG|" + ids + "IsDirectory /d"}},
      {"HasDirectories", [&] { HasDirectories(handle, "/d"); }, {"DBUG|" + ids + "HasDirectories /d"}},
      {"GetSpaceSize", [&] { GetSpaceSize(handle, "/"); }, {"DBUG|" + ids + "GetSpaceSize /"}},
      {"GetFiles", [&] { GetFiles(handle, "/l", &names); },
       {"DBUG|" + ids + "Get Files /l", "DBUG|" + shortIds + "GetFiles /l"}},
      {"GetDirectories", [&] { GetDirectories(handle, "/l", &names); },
       {"DBUG|" + ids + "GetDirectories /l", "DBUG|" + shortIds + " GetDirs /l " + std::to_string(out)}},
      {"CopyToPhone", [&] { CopyToPhone(handle, local.c_str(), "/up"); },
       {"DBUG|" + ids + "CopyToPhone source " + local + " dest /up"}},
      {"DownFromPhone", [&] { DownFromPhone(handle, "/down", fetched.c_str()); },
       {"DBUG|" + ids + "DownFromPhone source /down dest " + fetched}},
      // Polling and closing a transfer write nothing of their own.
      {"CopyToPhoneAsync",
       [&] {
         if (TransferHandle t = CopyToPhoneAsync(handle, local.c_str(), "/up")) {
           int total = 0, progress = 0;
           GetTransProgress(t, &total, &progress);
           CloseTransHandle(t);
         }
       },
       {"DBUG|" + ids + "CopyToPhoneAsync source " + local + " dest /up"}},
      {"DownFromPhoneAsync",
       [&] {
         if (TransferHandle t = DownFromPhoneAsync(handle, "/down", fetched.c_str())) CloseTransHandle(t);
       },
       {"DBUG|" + ids + "DownFromPhoneAsync source /down dest " + fetched}},
      {"GetEntries", [&] { GetEntries(handle, "/l", &entries); },
       {"DBUG|" + ids + "GetEntries /l", "DBUG|" + ids + "GetEntries return -1"}},
      {"GetSizes", [&] { GetSizes(handle, sizePaths, 2, sizes); },
       {"DBUG|" + ids + "GetSizes 2", "DBUG|" + ids + "GetSizes return -1"}},
      {"exports without a trace line",
       [&] {
         Chown(static_cast<unsigned long>(reinterpret_cast<std::uintptr_t>(handle)), const_cast<char*>("/c"), 1, 2);
         Shutdown(handle);
         Reboot(handle);
         Restart(handle);
         FreeBuffer(nullptr);
         FreeEntries(nullptr);
         GetAttribute();
         GetSize();
         SetAttribute();
         ScreenSnap();
         RestartiPod();
       },
       {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    from = log.text().size();
    c.call();
    EXPECT_EQ(c.lines, linesOf(log.text(), from, thread));
  }
  endSession(handle);
}

}  // namespace
}  // namespace korvex::test
