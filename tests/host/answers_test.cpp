// One answer everywhere: each row of tests/support/host_answers.tsv run
// through the C++ host layer (std::error_code against std::errc), the CLI
// (exit code and message) and the mount (errno), against korvexd on a fresh
// phone state. The Python package reads the same table in its own tests.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

#include "cli_runner.h"
#include "korvex.hpp"
#include "mount_harness.h"
#include "service_process.h"
#include "temp_dir.h"

namespace korvex::test {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;

struct Row {
  std::string operation, path, second, answer;
  std::string name() const { return operation + " " + path + " " + second + " -> " + answer; }
  bool local() const { return answer.rfind("local_", 0) == 0; }
  // The condition without its side.
  std::string condition() const { return local() ? answer.substr(6) : answer; }
};

std::vector<Row> table() {
  std::ifstream in(KORVEX_ANSWERS_TABLE);
  std::vector<Row> rows;
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    Row row;
    fields >> row.operation >> row.path >> row.second >> row.answer;
    rows.push_back(row);
  }
  return rows;
}

struct Meaning {
  std::errc condition;
  Errc phone;
};
const std::map<std::string, Meaning> kMeanings = {
    {"missing", {std::errc::no_such_file_or_directory, Errc::not_found}},
    {"exists", {std::errc::file_exists, Errc::already_exists}},
    {"not_a_directory", {std::errc::not_a_directory, Errc::not_a_directory}},
    {"is_a_directory", {std::errc::is_a_directory, Errc::is_a_directory}},
    {"not_empty", {std::errc::directory_not_empty, Errc::not_empty}},
    {"no_space", {std::errc::no_space_on_device, Errc::no_space}},
};

void writeFile(const fs::path& path, const std::string& bytes) { std::ofstream(path, std::ios::binary) << bytes; }

// The phone's and the local side's state every row starts from.
void resetState(const fs::path& root, const fs::path& local) {
  for (const fs::path& side : {root, local}) {
    for (const auto& entry : fs::directory_iterator(side)) fs::remove_all(entry.path());
  }
  fs::create_directories(root / "dir" / "sub");
  writeFile(root / "dir" / "f", "dirf");
  fs::create_directory(root / "empty");
  writeFile(root / "file", "file");
  writeFile(local / "local.txt", "locl");
  fs::create_directory(local / "folder");
}

// Runs a row through the C++ host layer.
Status runCxx(const Session& phone, const Row& row, const fs::path& local) {
  const std::string& p = row.path;
  if (row.operation == "list") return phone.listing(p).reason();
  if (row.operation == "mkdir") return phone.make_directory(p);
  if (row.operation == "remove") return phone.remove(p);
  if (row.operation == "rmdir") return phone.remove_directory(p);
  if (row.operation == "rename") return phone.rename(p, row.second);
  if (row.operation == "upload") return phone.upload(local / row.second, p);
  if (row.operation == "download") return phone.download(p, local / row.second);
  if (row.operation == "size") return phone.file_size(p).reason();
  if (row.operation == "chown") return phone.chown(p, 0, 0);
  ADD_FAILURE() << "unknown operation " << row.operation;
  return Errc::refused;
}

// The CLI's command for a row; empty where cp's and mv's rules make it
// another request (into an existing folder).
std::vector<std::string> cliArgs(const Row& row, const fs::path& local) {
  const std::string& p = row.path;
  // ls of a file lists the file, as ls does.
  if (row.operation == "list") return p == "/file" ? std::vector<std::string>{} : std::vector<std::string>{"ls", p};
  if (row.operation == "mkdir") return {"mkdir", p};
  if (row.operation == "remove") return {"rm", p};
  if (row.operation == "rmdir") return {"rmdir", p};
  if (row.operation == "rename") {
    if (row.second == "/dir" || row.second == "/empty") return {};
    return {"mv", p, row.second};
  }
  if (row.operation == "upload") return p == "/dir" ? std::vector<std::string>{} : std::vector<std::string>{"put", (local / row.second).string(), p};
  if (row.operation == "download") {
    return row.second == "folder" ? std::vector<std::string>{} : std::vector<std::string>{"get", p, (local / row.second).string()};
  }
  // stat answers for a folder too: no command of the CLI asks a size alone.
  if (row.operation == "size") return {};
  if (row.operation == "chown") return {"chown", p, "0", "0"};
  return {};
}

// The row as a standard call on the mount, through Python's os module:
// prints the errno's name, or "ok".
std::string mountScript(const Row& row, const fs::path& mount, const fs::path& local) {
  const std::string m = mount.string(), l = local.string();
  std::string call;
  const std::string p = "'" + m + row.path + "'";
  const std::string second = row.operation == "rename" ? "'" + m + row.second + "'" : "'" + l + "/" + row.second + "'";
  if (row.operation == "list") call = "os.listdir(" + p + ")";
  if (row.operation == "mkdir") call = "os.mkdir(" + p + ")";
  if (row.operation == "remove") call = "os.unlink(" + p + ")";
  if (row.operation == "rmdir") call = "os.rmdir(" + p + ")";
  if (row.operation == "rename") call = "os.rename(" + p + ", " + second + ")";
  if (row.operation == "upload") call = "shutil.copyfile(" + second + ", " + p + ")";
  if (row.operation == "download") call = "shutil.copyfile(" + p + ", " + second + ")";
  if (row.operation == "size") call = "open(" + p + ", 'rb').read()";
  if (row.operation == "chown") call = "os.chown(" + p + ", 0, 0)";
  return "python3 -c \"import errno, os, shutil\ntry:\n    " + call +
         "\n    print('ok')\nexcept OSError as e:\n    print(errno.errorcode[e.errno])\"";
}

ServiceProcess::Options fullPhone() {
  ServiceProcess::Options options;
  options.extraArgs = {"--capacity-kib", "0"};
  return options;
}

class HostAnswers : public ::testing::Test {
 protected:
  ServiceProcess service{fullPhone()};
  TempDir local;
};

TEST_F(HostAnswers, CxxAndTheCliGiveTheTablesAnswer) {
  const std::vector<Row> rows = table();
  ASSERT_GE(rows.size(), 20u);
  auto phone = Session::connect(service.address(), service.password());
  ASSERT_TRUE(phone);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name());
    ASSERT_EQ(1u, kMeanings.count(row.condition()));
    const Meaning& meaning = kMeanings.at(row.condition());

    resetState(service.root(), local.path());
    const Status status = runCxx(*phone, row, local.path());
    EXPECT_TRUE(status.code() == meaning.condition) << status.code().message();
    EXPECT_EQ(row.local() ? Errc::local_file : meaning.phone, status.error());
    // Neither a refusal nor a local mistake costs the session.
    EXPECT_TRUE(phone->connected());

    const std::vector<std::string> args = cliArgs(row, local.path());
    if (args.empty()) continue;
    resetState(service.root(), local.path());
    std::vector<std::string> full = {"--host", service.address(), "--password", service.password()};
    full.insert(full.end(), args.begin(), args.end());
    const CliResult cli = runCli(full);
    EXPECT_EQ(row.local() ? exit_code::kLocalFile : exit_code::kRefused, cli.exitCode) << cli.all();
    // The message ends with the reason as the system words it, in the
    // CLI's lower case for the phone.
    std::string reason = std::make_error_code(meaning.condition).message();
    if (!row.local()) reason = message(meaning.phone);
    EXPECT_THAT(cli.err, HasSubstr(reason));
  }
}

TEST_F(HostAnswers, TheMountGivesTheTablesErrno) {
  if (const std::string why = fuseUnavailable(); !why.empty()) GTEST_SKIP() << why;
  MountProcess mount(service.address(), service.password());
  const std::map<std::string, std::string> names = {
      {"missing", "ENOENT"}, {"exists", "EEXIST"}, {"not_a_directory", "ENOTDIR"},
      {"is_a_directory", "EISDIR"}, {"not_empty", "ENOTEMPTY"}, {"no_space", "ENOSPC"}};
  for (const Row& row : table()) {
    SCOPED_TRACE(row.name());
    resetState(service.root(), local.path());
    const ShellResult result = runShell(mountScript(row, mount.path(), local.path()), {});
    EXPECT_EQ(0, result.status) << result.output;
    EXPECT_EQ(names.at(row.condition()) + "\n", result.output);
  }
}

}  // namespace
}  // namespace korvex::test
