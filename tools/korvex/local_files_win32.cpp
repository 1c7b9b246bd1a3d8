#include <io.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <windows.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "korvex.hpp"
#include "local_files.h"

namespace korvex::cli {

namespace {

bool isDriveLetter(char c) { return std::isalpha(static_cast<unsigned char>(c)) != 0; }

// Narrow text here is in the ANSI code page (what main() receives and fopen
// takes), while std::filesystem reads narrow text as UTF-8.
std::wstring widen(const std::string& text, UINT codePage) {
  if (text.empty()) return {};
  const int length = MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), wide.data(), length);
  return wide;
}

// A character the ANSI code page lacks becomes '?', which no file name holds:
// opening it fails and is reported.
std::string narrow(const std::wstring& wide, UINT codePage) {
  if (wide.empty()) return {};
  const int length =
      WideCharToMultiByte(codePage, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr, nullptr);
  std::string text(static_cast<std::size_t>(length), '\0');
  WideCharToMultiByte(codePage, 0, wide.data(), static_cast<int>(wide.size()), text.data(), length, nullptr, nullptr);
  return text;
}

}  // namespace

// _wstat64: the plain stat has a 32-bit size. It finds no directory named
// with a trailing separator, except a root; trimmed wide, since a
// double-byte code page may hold the byte of '\' inside a character.
LocalStatus localStatus(const std::string& path) {
  const std::wstring wide = widen(path, CP_ACP);
  std::wstring trimmed = wide;
  while (!trimmed.empty() && (trimmed.back() == L'/' || trimmed.back() == L'\\')) trimmed.pop_back();
  if (trimmed.size() < wide.size() && (trimmed.empty() || trimmed.back() == L':')) trimmed += L'\\';
  struct _stat64 info {};
  if (_wstat64(trimmed.c_str(), &info) != 0) return {LocalStatus::Kind::Missing, 0, errno};
  switch (info.st_mode & _S_IFMT) {
    case _S_IFREG:
      return {LocalStatus::Kind::Regular, static_cast<std::int64_t>(info.st_size), 0};
    case _S_IFDIR:
      return {LocalStatus::Kind::Directory, 0, 0};
    default:
      return {LocalStatus::Kind::Other, 0, 0};
  }
}

int readableError(const std::string& path) {
  std::FILE* probe = std::fopen(path.c_str(), "rb");
  if (probe == nullptr) return errno;
  std::fclose(probe);
  return 0;
}

int writableError(const std::string& path) { return _access(path.c_str(), 2) == 0 ? 0 : errno; }

std::filesystem::path localPathOf(const std::string& text) { return widen(text, CP_ACP); }
std::string localText(const std::filesystem::path& path) { return narrow(path.native(), CP_ACP); }
// The name is checked as the file will be opened: in the ANSI code page.
// Best-fit mapping is off, since it would turn look-alikes into the very
// characters the check refuses (fullwidth U+FF0E and U+FF3C into '.' and
// '\'); a name that needs the default character has no ANSI form at all.
std::optional<std::filesystem::path> localComponent(const std::string& phoneName) {
  if (phoneName.empty()) return std::nullopt;
  const int size = static_cast<int>(phoneName.size());
  const int length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, phoneName.data(), size, nullptr, 0);
  if (length <= 0) return std::nullopt;
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, phoneName.data(), size, wide.data(), length);
  // A UTF-8 code page takes the name as it is (and no flag nor default there).
  if (GetACP() == CP_UTF8) {
    if (!korvex::is_plain_name(phoneName)) return std::nullopt;
    return std::filesystem::path(wide);
  }
  BOOL usedDefault = FALSE;
  const int narrowLength = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(), length, nullptr, 0,
                                               nullptr, &usedDefault);
  if (narrowLength <= 0 || usedDefault) return std::nullopt;
  std::string local(static_cast<std::size_t>(narrowLength), '\0');
  WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(), length, local.data(), narrowLength, nullptr,
                      &usedDefault);
  if (usedDefault || !korvex::is_plain_name(local)) return std::nullopt;
  // The component is made from the text that was checked.
  return std::filesystem::path(widen(local, CP_ACP));
}

std::string phoneText(const std::filesystem::path& relative) {
  std::string text = narrow(relative.native(), CP_UTF8);
  std::replace(text.begin(), text.end(), '\\', '/');
  return text;
}

// The command line arrives in the ANSI code page too.
std::string phoneArgument(const std::string& text) { return narrow(widen(text, CP_ACP), CP_UTF8); }

// Both separators, and a drive prefix: "Z:\a\b\" and "Z:b" name "b"; "Z:\"
// and "\" name nothing.
std::string localName(const std::string& path) {
  const std::wstring wide = widen(path, CP_ACP);
  std::wstring_view rest = wide;
  if (rest.size() >= 2 && rest[1] == L':' && rest[0] < 0x80 && isDriveLetter(static_cast<char>(rest[0]))) {
    rest.remove_prefix(2);
  }
  constexpr std::wstring_view separators = L"/\\";
  while (!rest.empty() && separators.find(rest.back()) != std::wstring_view::npos) rest.remove_suffix(1);
  const std::size_t last = rest.find_last_of(separators);
  return narrow(std::wstring(last == std::wstring_view::npos ? rest : rest.substr(last + 1)), CP_UTF8);
}

// GetTempFileNameA creates the file, in the user's own temporary directory.
std::string createTemporaryFile(int& error) {
  char directory[MAX_PATH + 1];
  char path[MAX_PATH + 1];
  const DWORD length = GetTempPathA(sizeof directory, directory);
  if (length == 0 || length > MAX_PATH || GetTempFileNameA(directory, "kvx", 0, path) == 0) {
    error = EIO;
    return {};
  }
  return path;
}

}  // namespace korvex::cli
