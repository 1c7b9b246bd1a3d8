#include "service_process.h"

#include <fstream>
#include <sstream>

namespace korvex::test {

std::string ServiceProcess::address() const { return "127.0.0.1:" + std::to_string(port_); }

std::string ServiceProcess::log() const {
  std::ifstream in(logPath_);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace korvex::test
