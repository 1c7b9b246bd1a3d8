#include "progress_columns.h"

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <vector>

namespace korvex::cli {

namespace {

struct Range {
  std::uint32_t first, last;
};

// Code points a terminal draws in no column of their own: combining marks,
// zero-width spaces and joiners, variation selectors.
constexpr Range kZeroWidth[] = {
    {0x0300, 0x036F}, {0x0483, 0x0489}, {0x0591, 0x05BD}, {0x0610, 0x061A}, {0x064B, 0x065F},
    {0x0E31, 0x0E31}, {0x0E34, 0x0E3A}, {0x0E47, 0x0E4E}, {0x1AB0, 0x1AFF}, {0x1DC0, 0x1DFF},
    {0x200B, 0x200F}, {0x202A, 0x202E}, {0x2060, 0x2064}, {0x20D0, 0x20FF}, {0x3099, 0x309A},
    {0xFE00, 0xFE0F}, {0xFE20, 0xFE2F}, {0xFEFF, 0xFEFF}, {0xE0100, 0xE01EF},
};

// East Asian wide and fullwidth letters and the emoji drawn as pictures:
// two columns each.
constexpr Range kWide[] = {
    {0x1100, 0x115F},   {0x231A, 0x231B},   {0x2329, 0x232A},   {0x23E9, 0x23EC}, {0x23F0, 0x23F0},
    {0x23F3, 0x23F3},   {0x25FD, 0x25FE},   {0x2614, 0x2615},   {0x2648, 0x2653}, {0x267F, 0x267F},
    {0x2693, 0x2693},   {0x26A1, 0x26A1},   {0x26AA, 0x26AB},   {0x26BD, 0x26BE}, {0x26C4, 0x26C5},
    {0x26CE, 0x26CE},   {0x26D4, 0x26D4},   {0x26EA, 0x26EA},   {0x26F2, 0x26F5}, {0x26FA, 0x26FD},
    {0x2705, 0x2705},   {0x270A, 0x270B},   {0x2728, 0x2728},   {0x274C, 0x274C}, {0x2753, 0x2755},
    {0x2757, 0x2757},   {0x2795, 0x2797},   {0x27B0, 0x27B0},   {0x27BF, 0x27BF}, {0x2B1B, 0x2B1C},
    {0x2B50, 0x2B50},   {0x2B55, 0x2B55},   {0x2E80, 0x303E},   {0x3041, 0x3247}, {0x3250, 0x4DBF},
    {0x4E00, 0xA4CF},   {0xA960, 0xA97F},   {0xAC00, 0xD7A3},   {0xF900, 0xFAFF}, {0xFE10, 0xFE19},
    {0xFE30, 0xFE6F},   {0xFF00, 0xFF60},   {0xFFE0, 0xFFE6},   {0x16FE0, 0x18CFF}, {0x1B000, 0x1B2FF},
    {0x1F004, 0x1F004}, {0x1F0CF, 0x1F0CF}, {0x1F18E, 0x1F18E}, {0x1F191, 0x1F19A}, {0x1F200, 0x1F251},
    {0x1F300, 0x1F320}, {0x1F32D, 0x1F335}, {0x1F337, 0x1F37C}, {0x1F37E, 0x1F393}, {0x1F3A0, 0x1F3CA},
    {0x1F3CF, 0x1F3D3}, {0x1F3E0, 0x1F3F0}, {0x1F3F4, 0x1F3F4}, {0x1F3F8, 0x1F43E}, {0x1F440, 0x1F440},
    {0x1F442, 0x1F4FC}, {0x1F4FF, 0x1F53D}, {0x1F54B, 0x1F54E}, {0x1F550, 0x1F567}, {0x1F57A, 0x1F57A},
    {0x1F595, 0x1F596}, {0x1F5A4, 0x1F5A4}, {0x1F5FB, 0x1F64F}, {0x1F680, 0x1F6C5}, {0x1F6CC, 0x1F6CC},
    {0x1F6D0, 0x1F6D2}, {0x1F6D5, 0x1F6D7}, {0x1F6EB, 0x1F6EC}, {0x1F6F4, 0x1F6FC}, {0x1F7E0, 0x1F7EB},
    {0x1F90C, 0x1F93A}, {0x1F93C, 0x1F945}, {0x1F947, 0x1F9FF}, {0x1FA70, 0x1FAFF}, {0x20000, 0x3FFFD},
};

template <std::size_t N>
bool within(const Range (&ranges)[N], std::uint32_t point) {
  const Range* it = std::upper_bound(std::begin(ranges), std::end(ranges), point,
                                     [](std::uint32_t p, const Range& range) { return p < range.first; });
  return it != std::begin(ranges) && point <= std::prev(it)->last;
}

// One letter: its bytes in the text, and its columns.
struct Letter {
  std::size_t start, length, columns;
};

std::vector<Letter> lettersOf(std::string_view text, ConsoleText console) {
  std::vector<Letter> letters;
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t length = console == ConsoleText::utf8 ? utf8Length(text, i) : 0;
    if (length == 0) {
      letters.push_back({i, 1, 1});
      ++i;
      continue;
    }
    std::uint32_t point = static_cast<unsigned char>(text[i]) & (0xFF >> (length + 1));
    for (std::size_t k = 1; k < length; ++k) point = point << 6 | (static_cast<unsigned char>(text[i + k]) & 0x3F);
    const std::size_t columns = within(kZeroWidth, point) ? 0 : within(kWide, point) ? 2 : 1;
    // A mark goes with the letter before it: no cut falls between them.
    if (columns == 0 && !letters.empty()) {
      letters.back().length += length;
    } else {
      letters.push_back({i, length, columns});
    }
    i += length;
  }
  return letters;
}

// A Windows console prints its ANSI code page, where an ellipsis may not be.
std::string_view ellipsis(ConsoleText console) { return console == ConsoleText::utf8 ? "\u2026" : "..."; }

std::size_t columnsOf(const std::vector<Letter>& letters) {
  std::size_t columns = 0;
  for (const Letter& letter : letters) columns += letter.columns;
  return columns;
}

}  // namespace

std::size_t columnsOf(std::string_view text, ConsoleText console) { return columnsOf(lettersOf(text, console)); }

std::string cutMiddle(std::string_view text, std::size_t room, ConsoleText console) {
  const std::vector<Letter> letters = lettersOf(text, console);
  if (columnsOf(letters) <= room) return std::string(text);
  const std::string_view mark = ellipsis(console);
  const std::size_t markColumns = console == ConsoleText::utf8 ? 1 : mark.size();
  if (room < markColumns + 2) return cutEnd(text, room, console);
  // The start gets the larger half: it tells names of one series apart.
  std::size_t tailRoom = (room - markColumns) / 2, headRoom = room - markColumns - tailRoom;
  std::size_t head = 0, headColumns = 0;
  while (head < letters.size() && headColumns + letters[head].columns <= headRoom) headColumns += letters[head++].columns;
  tailRoom += headRoom - headColumns;  // a wide letter that did not fit leaves its column to the end
  std::size_t tail = letters.size(), tailColumns = 0;
  while (tail > head && tailColumns + letters[tail - 1].columns <= tailRoom) tailColumns += letters[--tail].columns;
  const std::size_t headBytes = head == 0 ? 0 : letters[head - 1].start + letters[head - 1].length;
  const std::size_t tailStart = tail == letters.size() ? text.size() : letters[tail].start;
  std::string cut(text.substr(0, headBytes));
  cut += mark;
  cut += text.substr(tailStart);
  return cut;
}

std::string cutEnd(std::string_view text, std::size_t room, ConsoleText console) {
  const std::vector<Letter> letters = lettersOf(text, console);
  if (columnsOf(letters) <= room) return std::string(text);
  const std::string_view mark = ellipsis(console);
  const std::size_t markColumns = console == ConsoleText::utf8 ? 1 : mark.size();
  const bool marked = room >= markColumns;
  const std::size_t keep = marked ? room - markColumns : room;
  std::size_t end = 0, columns = 0;
  while (end < letters.size() && columns + letters[end].columns <= keep) columns += letters[end++].columns;
  std::string cut(text.substr(0, end == 0 ? 0 : letters[end - 1].start + letters[end - 1].length));
  if (marked) cut += mark;
  return cut;
}

}  // namespace korvex::cli
