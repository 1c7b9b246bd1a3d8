// Line editing on the terminal: history for the session, Tab completion,
// and Ctrl-C at the prompt dropping the line.
#include <histedit.h>

#include <clocale>
#include <csignal>
#include <cstdio>
#include <cwchar>

#include "line_reader.h"
#include "stop_signals.h"
#include "terminal_input.h"
#include "text.h"

namespace korvex::cli {

namespace {

class EditReader : public LineReader {
 public:
  explicit EditReader(Completer completer) : completer_(std::move(completer)) {
    // Keys are read as characters of the terminal's encoding: in the C
    // locale every byte beyond ASCII would be dropped.
    std::setlocale(LC_CTYPE, "");
    editor_ = el_init("korvex", stdin, stdout, stderr);
    history_ = history_init();
    HistEvent event;
    history(history_, &event, H_SETSIZE, 1000);
    history(history_, &event, H_SETUNIQUE, 1);
    el_set(editor_, EL_EDITOR, "emacs");
    el_set(editor_, EL_CLIENTDATA, this);
    el_set(editor_, EL_PROMPT, &EditReader::prompt);
    el_set(editor_, EL_HIST, history, history_);
    // Through the wide call: the narrow one copies the name and the help
    // into memory libedit never frees.
    el_wset(editor_, EL_ADDFN, L"korvex-complete", L"complete a command or phone path", &EditReader::complete);
    el_set(editor_, EL_BIND, "^I", "korvex-complete", nullptr);
    el_set(editor_, EL_GETCFN, &EditReader::readKey);
    el_source(editor_, nullptr);  // the user's ~/.editrc, if any
  }
  ~EditReader() override {
    el_end(editor_);
    history_end(history_);
  }
  EditReader(const EditReader&) = delete;
  EditReader& operator=(const EditReader&) = delete;

  std::optional<std::string> read(const std::string& prompt) override {
    prompt_ = prompt;
    int count = 0;
    const char* text = nullptr;
    {
      // Ctrl-C ends the read instead of the shell; what was typed is dropped.
      StopSignals signals;
      clearStop();
      text = el_gets(editor_, &count);
    }
    if (stopSignal == SIGINT) {
      std::fputc('\n', stdout);
      return std::string();
    }
    if (!text || count <= 0) return std::nullopt;
    std::string line(text, static_cast<std::size_t>(count));
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    if (line.find_first_not_of(" \t") != std::string::npos) {
      HistEvent event;
      history(history_, &event, H_ENTER, line.c_str());
    }
    return line;
  }

 private:
  static EditReader& self(EditLine* editor) {
    void* data = nullptr;
    el_get(editor, EL_CLIENTDATA, &data);
    return *static_cast<EditReader*>(data);
  }
  static char* prompt(EditLine* editor) { return self(editor).prompt_.data(); }

  // One character, as libedit reads one, after a wait that Ctrl-C ends: then
  // el_gets ends too. Bytes that are no character are dropped.
  static int readKey(EditLine* editor, wchar_t* key) {
    TerminalInput& input = self(editor).input_;
    std::mbstate_t state{};
    for (;;) {
      const int byte = input.next();
      if (byte == TerminalInput::kStopped) return -1;
      if (byte == TerminalInput::kEnd) return 0;
      const char c = static_cast<char>(byte);
      const std::size_t length = std::mbrtowc(key, &c, 1, &state);
      if (length == static_cast<std::size_t>(-2)) continue;  // more bytes to come
      if (length == static_cast<std::size_t>(-1)) {
        state = {};
        continue;
      }
      return 1;
    }
  }

  static unsigned char complete(EditLine* editor, int) {
    const LineInfo* info = el_line(editor);
    const std::string_view before(info->buffer, static_cast<std::size_t>(info->cursor - info->buffer));
    const Completion completion = self(editor).completer_(before);
    if (!completion.insert.empty()) {
      return el_insertstr(editor, completion.insert.c_str()) == 0 ? CC_REFRESH : CC_ERROR;
    }
    if (completion.choices.empty()) return CC_ERROR;
    std::fputc('\n', stdout);
    for (const std::string& choice : completion.choices) std::printf("%s\n", shown(choice).c_str());
    return CC_REDISPLAY;
  }

  Completer completer_;
  TerminalInput input_;
  EditLine* editor_ = nullptr;
  History* history_ = nullptr;
  std::string prompt_;
};

}  // namespace

std::unique_ptr<LineReader> terminalReader(Completer completer) {
  return std::make_unique<EditReader>(std::move(completer));
}

}  // namespace korvex::cli
