// Whole-file round trips through the library against the reference
// service, synchronous and in the background.
#include <gtest/gtest.h>
#if !defined(_WIN32)
#include <sys/resource.h>
#endif

#include <thread>

#include "service_process.h"
#include "session_fixture.h"
#include "temp_dir.h"

namespace korvex::test {
namespace {

namespace fs = std::filesystem;

class ServiceCopies : public ::testing::Test {
 protected:
  ServiceCopies() : handle(Connect(service.address().c_str(), service.password().c_str(), nullptr)) {}
  ~ServiceCopies() override { endSession(handle); }

  int waitDone(TransferHandle transfer) {
    int total = 0;
    int progress = -1;
    for (int i = 0; i < 3000; ++i) {
      GetTransProgress(transfer, &total, &progress);
      if (progress == -2 || (progress >= 0 && progress == total)) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return progress;
  }

  ServiceProcess service;
  SessionHandle handle;
  TempDir local;
};

TEST_F(ServiceCopies, SynchronousRoundTripsAreByteIdentical) {
  ASSERT_NE(nullptr, handle);
  for (std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t{1500}, std::size_t{1501}, std::size_t{64} << 20}) {
    const std::string name = "f" + std::to_string(size);
    const std::string data = patterned(size, static_cast<unsigned>(size));
    writeFile(local / name, data);
    ASSERT_TRUE(CopyToPhone(handle, (local / name).string().c_str(), ("/" + name).c_str())) << size;
    EXPECT_EQ(static_cast<int>(size), FileSize(handle, ("/" + name).c_str()));
    ASSERT_TRUE(DownFromPhone(handle, ("/" + name).c_str(), (local / (name + ".back")).string().c_str())) << size;
    EXPECT_TRUE(readFile(local / (name + ".back")) == data) << size;
  }
  EXPECT_FALSE(DownFromPhone(handle, "/absent", (local / "absent").string().c_str()));
  EXPECT_FALSE(fs::exists(local / "absent"));
  EXPECT_EQ(1, Exists(handle, "/f1"));  // a refusal leaves the session usable
}

TEST_F(ServiceCopies, BackgroundRoundTrip) {
  ASSERT_NE(nullptr, handle);
  const std::string data = patterned(5 << 20, 3);
  writeFile(local / "up", data);
  TransferHandle up = CopyToPhoneAsync(handle, (local / "up").string().c_str(), "/up");
  ASSERT_NE(nullptr, up);
  EXPECT_EQ(static_cast<int>(data.size()), waitDone(up));
  CloseTransHandle(up);
  EXPECT_TRUE(readFile(service.root() / "up") == data);  // done means stored

  TransferHandle down = DownFromPhoneAsync(handle, "/up", (local / "down").string().c_str());
  ASSERT_NE(nullptr, down);
  int total = 0;
  int progress = 0;
  GetTransProgress(down, &total, &progress);
  EXPECT_EQ(static_cast<int>(data.size()), total);  // from the size query, before the copy runs
  EXPECT_EQ(static_cast<int>(data.size()), waitDone(down));
  CloseTransHandle(down);
  EXPECT_TRUE(readFile(local / "down") == data);

  TransferHandle refused = DownFromPhoneAsync(handle, "/absent", (local / "absent").string().c_str());
  EXPECT_EQ(-2, waitDone(refused));
  CloseTransHandle(refused);
  EXPECT_FALSE(fs::exists(local / "absent"));
}

// A service that cannot store an upload (here: over its file-size limit)
// over an old file of the same size: the copy fails, both ways of copying,
// and the old file stays as it was.
TEST_F(ServiceCopies, AnUploadTheServiceCannotStoreFails) {
#if defined(_WIN32)
  GTEST_SKIP() << "the service's file-size limit is set from Linux";
#else
  ASSERT_NE(nullptr, handle);
  const rlimit limit{64 * 1024, 64 * 1024};
  ASSERT_EQ(0, ::prlimit(static_cast<pid_t>(service.pid()), RLIMIT_FSIZE, &limit, nullptr));
  const std::string old = patterned(100000, 1);
  writeFile(service.root() / "kept", old);
  writeFile(local / "new", patterned(100000, 2));
  EXPECT_FALSE(CopyToPhone(handle, (local / "new").string().c_str(), "/kept"));
  SessionHandle again = Connect(service.address().c_str(), service.password().c_str(), nullptr);
  ASSERT_NE(nullptr, again);
  TransferHandle up = CopyToPhoneAsync(again, (local / "new").string().c_str(), "/kept");
  EXPECT_EQ(-2, waitDone(up));
  CloseTransHandle(up);
  endSession(again);
  EXPECT_TRUE(readFile(service.root() / "kept") == old);
#endif
}

}  // namespace
}  // namespace korvex::test
