// A phone that lists whatever names a test gives it, serves the files it
// is given (or breaks a download off after some bytes), and reports any
// device name: on 127.0.0.1, to every connection at once, since the
// client's session and each of its background copies connect on their own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "socket_io.h"

namespace korvex::test {

class HostilePhone {
 public:
  struct Directory {
    std::vector<std::string> directories;  // listed as they are: "..", "a/b", ESC...
    std::vector<std::string> files;
  };
  struct File {
    std::string content;
    // A download closes the connection after this many bytes of the content.
    std::size_t cutAfter = std::string::npos;
  };
  // Keys are the phone paths exactly as the client asks for them. EXISTS,
  // IS_DIR, FILE_SIZE, the listings and DOWNLOAD answer from these maps;
  // anything else is refused (status 1).
  HostilePhone(std::map<std::string, Directory> directories, std::map<std::string, File> files,
               std::string deviceName = "hostile-phone");
  ~HostilePhone();  // closes every connection and joins every thread
  HostilePhone(const HostilePhone&) = delete;
  HostilePhone& operator=(const HostilePhone&) = delete;

  std::string address() const { return "127.0.0.1:" + std::to_string(port_); }
  std::vector<std::string> login() const { return {"--host", address(), "--password", "any"}; }

 private:
  void acceptClients();
  void serve(loopback::Socket client);

  const std::map<std::string, Directory> directories_;
  const std::map<std::string, File> files_;
  const std::string deviceName_;
  loopback::Socket listener_ = loopback::kNoSocket;
  std::uint16_t port_ = 0;
  std::mutex clientsLock_;  // the destructor shuts down clients the acceptor adds
  std::vector<loopback::Socket> clients_;
  std::vector<std::thread> servers_;
  std::thread acceptor_;
};

}  // namespace korvex::test
