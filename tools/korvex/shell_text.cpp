#include "shell_text.h"

#include <algorithm>

namespace korvex::cli {

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// `text` escaped for where it goes: inside single or double quotes, or bare
// (where a '#' only needs it at the start of a word).
std::string escaped(std::string_view text, char quote, bool wordStart) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (quote == '\'') {
      out += c == '\'' ? std::string("'\\''") : std::string(1, c);
      continue;
    }
    const bool special = quote == '"' ? std::string_view("$`\"\\").find(c) != std::string_view::npos
                                      : isBlank(c) || std::string_view("'\"\\").find(c) != std::string_view::npos ||
                                            (c == '#' && i == 0 && wordStart);
    if (special) out += '\\';
    out += c;
  }
  return out;
}

}  // namespace

ScannedLine scanLine(std::string_view line) {
  ScannedLine scanned;
  std::string word;
  bool inWord = false;
  std::size_t i = 0;
  while (i < line.size()) {
    const char c = line[i];
    if (isBlank(c)) {
      if (inWord) scanned.words.push_back(std::move(word));
      inWord = false;
      ++i;
      continue;
    }
    if (!inWord) {
      if (c == '#') break;
      inWord = true;
      scanned.lastStart = i;
      word.clear();
    }
    if (c == '\\') {
      if (i + 1 == line.size()) {
        scanned.openEscape = true;
        break;
      }
      word += line[i + 1];
      i += 2;
    } else if (c == '\'') {
      const std::size_t close = line.find('\'', i + 1);
      word += line.substr(i + 1, close == std::string_view::npos ? std::string_view::npos : close - i - 1);
      if (close == std::string_view::npos) {
        scanned.openQuote = '\'';
        break;
      }
      i = close + 1;
    } else if (c == '"') {
      for (++i; i < line.size() && line[i] != '"'; ++i) {
        if (line[i] == '\\' && i + 1 < line.size() && std::string_view("$`\"\\").find(line[i + 1]) != std::string_view::npos) {
          ++i;
        }
        word += line[i];
      }
      if (i == line.size()) {
        scanned.openQuote = '"';
        break;
      }
      ++i;
    } else {
      word += c;
      ++i;
    }
  }
  if (inWord) {
    scanned.words.push_back(std::move(word));
    scanned.endsInWord = true;
  }
  return scanned;
}

SplitLine splitLine(std::string_view line) {
  ScannedLine scanned = scanLine(line);
  if (scanned.openQuote) return {{}, std::string("unclosed ") + scanned.openQuote + " quote"};
  if (scanned.openEscape) return {{}, "the line ends in a backslash"};
  return {std::move(scanned.words), {}};
}

std::string quoteWord(std::string_view word) { return word.empty() ? "''" : escaped(word, 0, true); }

std::string resolvePhonePath(std::string_view directory, std::string_view path) {
  if (path.empty()) return {};
  std::string full(path.front() == '/' ? "" : directory);
  full.append(full.empty() || full.back() == '/' ? "" : "/").append(path);
  std::vector<std::string_view> parts;
  const std::string_view text = full;
  for (std::size_t start = 0; start < text.size();) {
    std::size_t end = text.find('/', start);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view part = text.substr(start, end - start);
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    start = end + 1;
  }
  std::string resolved;
  for (const std::string_view part : parts) resolved.append("/").append(part);
  if (resolved.empty()) return "/";
  if (path.back() == '/') resolved += '/';
  return resolved;
}

Completion completeLine(std::string_view beforeCursor, const std::vector<std::string>& commands,
                        const std::vector<std::string>& phoneCommands, const std::string& directory,
                        const PhoneLister& list) {
  const std::size_t lead = beforeCursor.find_first_not_of(" \t");
  if (lead != std::string_view::npos && beforeCursor[lead] == '!') return {};
  const ScannedLine scanned = scanLine(beforeCursor);
  if (scanned.openEscape) return {};
  const std::string current = scanned.endsInWord ? scanned.words.back() : "";
  const std::size_t index = scanned.words.size() - (scanned.endsInWord ? 1 : 0);

  std::string prefix = current;  // what the candidates must start with
  std::vector<std::string> candidates;
  if (index == 0) {
    candidates = commands;
  } else {
    const bool phone = std::find(phoneCommands.begin(), phoneCommands.end(), scanned.words.front()) != phoneCommands.end();
    if (!phone || current.starts_with('-')) return {};
    const std::size_t slash = current.rfind('/');
    const std::string parent = slash == std::string::npos ? "" : current.substr(0, slash + 1);
    prefix = current.substr(parent.size());
    std::string listed = parent.empty() ? directory : resolvePhonePath(directory, parent);
    if (listed.size() > 1 && listed.back() == '/') listed.pop_back();  // one cache entry per directory
    const auto names = list(listed);
    if (!names) return {};
    candidates = *names;
  }
  std::erase_if(candidates, [&](const std::string& name) { return !name.starts_with(prefix); });
  if (candidates.empty()) return {};
  std::sort(candidates.begin(), candidates.end());

  std::string common = candidates.front();
  for (const std::string& name : candidates) {
    const auto differ = std::mismatch(common.begin(), common.end(), name.begin(), name.end());
    common.erase(differ.first, common.end());
  }
  const std::string added = common.substr(prefix.size());
  Completion completion;
  completion.insert = escaped(added, scanned.openQuote, current.empty());
  if (candidates.size() == 1 && !common.ends_with('/')) {
    if (scanned.openQuote) completion.insert += scanned.openQuote;
    completion.insert += ' ';
  } else if (candidates.size() > 1 && added.empty()) {
    completion.choices = std::move(candidates);
  }
  return completion;
}

}  // namespace korvex::cli
