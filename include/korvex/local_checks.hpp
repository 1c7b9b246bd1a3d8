// What is wrong with a copy's local side, found before anything is sent: a
// local mistake is the host's to report as local, and a download whose file
// cannot be made would cost the session its connection (the bytes are on
// their way by then). Part of korvex.hpp.
#ifndef KORVEX_LOCAL_CHECKS_HPP
#define KORVEX_LOCAL_CHECKS_HPP

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <system_error>

namespace korvex {

// Why `local` cannot be uploaded: missing, a folder, or unreadable. An empty
// code when it can.
inline std::error_code upload_source_problem(const std::filesystem::path& local) {
#ifdef _WIN32
  // A narrow path in the ANSI code page does not survive std::filesystem's
  // conversion here: the library checks the file itself.
  (void)local;
  return {};
#endif
  std::error_code error;
  const std::filesystem::file_status status = std::filesystem::status(local, error);
  if (error) return error;
  if (std::filesystem::is_directory(status)) return std::make_error_code(std::errc::is_a_directory);
  std::FILE* file = std::fopen(local.string().c_str(), "rb");
  if (file == nullptr) return {errno, std::generic_category()};
  std::fclose(file);
  return {};
}

// Why a download cannot create or replace `local`: an existing folder is in
// the way, its folder is missing or is a file, or that folder takes no new
// file (a replacement is written beside the destination first). An empty
// code when it can.
inline std::error_code download_destination_problem(const std::filesystem::path& local) {
  namespace fs = std::filesystem;
#ifdef _WIN32
  (void)local;
  return {};
#endif
  std::error_code error;
  if (fs::is_directory(local, error)) return std::make_error_code(std::errc::is_a_directory);
  fs::path folder = local.parent_path();
  if (folder.empty()) folder = ".";
  const fs::file_status status = fs::status(folder, error);
  if (!fs::exists(status)) return std::make_error_code(std::errc::no_such_file_or_directory);
  if (!fs::is_directory(status)) return std::make_error_code(std::errc::not_a_directory);
  // Whether the folder takes a new file is known only by making one, under
  // a random name that nothing else uses (checked first: fopen's exclusive
  // mode is not in every Windows runtime).
  std::random_device random;
  const fs::path probe = folder / (".korvex-check-" + std::to_string(random()) + std::to_string(random()));
  if (fs::exists(probe, error)) return {};
  std::FILE* file = std::fopen(probe.string().c_str(), "wb");
  if (file == nullptr) return {errno, std::generic_category()};
  std::fclose(file);
  fs::remove(probe, error);
  return {};
}

}  // namespace korvex

#endif  // KORVEX_LOCAL_CHECKS_HPP
