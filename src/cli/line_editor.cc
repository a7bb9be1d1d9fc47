// The shell's line editor over libedit's wide-character interface.
//
// Bytes are read and decoded here rather than by libedit: libedit decodes by
// the process locale and silently drops bytes it cannot decode, while the
// shell must see invalid UTF-8 to refuse it. Undecodable bytes become code
// points above U+10FFFF, which no valid input yields; the finished line is
// encoded here too, and such a code point makes it invalid. libedit still
// needs a UTF-8 character type to measure and draw characters, so its calls
// run under C.UTF-8 for the calling thread only.
#include "cli/line_editor.h"

#include <errno.h>
#include <unistd.h>

#include <algorithm>
#include <cassert>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <ostream>
#include <string>

#include <histedit.h>

#include "cli/interrupt.h"
#include "cli/shell_commands.h"
#include "cli/text.h"

#include <locale.h>

namespace tovik::cli {
namespace {

// Lines longer than kMaxHistoryLine are not kept for recall: they are
// pasted documents, and a full history of them must not pin hundreds of MiB.
constexpr int kHistoryEntries = static_cast<int>(kHistoryLines);

// Where an undecodable byte lands: beyond Unicode, so never typed.
constexpr wchar_t kInvalidBase = 0x110000;

// Appends the UTF-8 form of cp; false for surrogates and the invalid marks.
bool append_utf8(std::string& out, std::uint32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp >= 0xD800 && cp <= 0xDFFF) {
    return false;
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x110000) {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    return false;
  }
  return true;
}

// Valid UTF-8 (prompts, completions) to wide characters.
std::wstring widen(std::string_view text) {
  std::wstring out;
  for (std::size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    std::size_t len = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
    std::uint32_t cp = len == 1 ? c : len == 2 ? (c & 0x1Fu) : len == 3 ? (c & 0x0Fu) : (c & 0x07u);
    len = std::min(len, text.size() - i);
    for (std::size_t k = 1; k < len; ++k) {
      cp = (cp << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3Fu);
    }
    out.push_back(static_cast<wchar_t>(cp));
    i += len;
  }
  return out;
}

// Switches the calling thread to a UTF-8 character type while alive.
class Utf8Scope {
 public:
  explicit Utf8Scope(locale_t utf8) : old_(utf8 != nullptr ? ::uselocale(utf8) : nullptr) {}
  ~Utf8Scope() {
    if (old_ != nullptr) ::uselocale(old_);
  }
  Utf8Scope(const Utf8Scope&) = delete;
  Utf8Scope& operator=(const Utf8Scope&) = delete;

 private:
  locale_t old_;
};

}  // namespace

struct LineEditor::Impl {
  int in_fd;
  std::FILE* out;
  locale_t utf8 = nullptr;
  EditLine* el = nullptr;
  History* history = nullptr;
  EditorOptions options;
  std::wstring prompt;
  bool cancelled = false;

  // Per line: why el_wgets gave up, if it did.
  bool too_long = false;
  int read_error = 0;
  // A byte read while decoding that starts the next character.
  std::optional<unsigned char> pending;

  // 1 with a byte, 0 at end of input, -1 on a read error.
  int read_byte(unsigned char& byte) {
    if (pending) {
      byte = *pending;
      pending.reset();
      return 1;
    }
    for (;;) {
      // A Ctrl+C handled while no read was waiting interrupts none.
      if (interrupted()) {
        cancelled = true;
        return -1;
      }
      const ssize_t n = ::read(in_fd, &byte, 1);
      if (n == 1) return 1;
      if (n == 0) return 0;
      if (errno == EINTR) continue;
      read_error = errno;
      return -1;
    }
  }

  // One character for libedit; one byte at a time, so keys typed ahead for
  // a password prompt on /dev/tty stay in the terminal for it.
  int read_char(wchar_t* out_char) {
    const LineInfoW* line = el_wline(el);
    // Every character is at least one byte, and the line feed is still to
    // come: this many characters already break the limit.
    if (static_cast<std::size_t>(line->lastchar - line->buffer) >= kMaxInputLine) {
      too_long = true;
      return -1;
    }
    unsigned char lead = 0;
    const int got = read_byte(lead);
    if (got != 1) return got;
    if (lead < 0x80) {
      *out_char = static_cast<wchar_t>(lead);
      return 1;
    }
    std::size_t more = 0;
    std::uint32_t cp = 0;
    unsigned char low = 0x80, high = 0xBF;  // range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
      more = 1;
      cp = lead & 0x1Fu;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      more = 2;
      cp = lead & 0x0Fu;
      if (lead == 0xE0) low = 0xA0;
      if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      more = 3;
      cp = lead & 0x07u;
      if (lead == 0xF0) low = 0x90;
      if (lead == 0xF4) high = 0x8F;
    } else {
      *out_char = kInvalidBase + lead;
      return 1;
    }
    for (std::size_t k = 0; k < more; ++k) {
      unsigned char next = 0;
      const int status = read_byte(next);
      if (status < 0) return status;
      const unsigned char min = k == 0 ? low : 0x80;
      const unsigned char max = k == 0 ? high : 0xBF;
      if (status == 0 || next < min || next > max) {
        if (status == 1) pending = next;
        *out_char = kInvalidBase + lead;
        return 1;
      }
      cp = (cp << 6) | (next & 0x3Fu);
    }
    *out_char = static_cast<wchar_t>(cp);
    return 1;
  }

  unsigned char complete() {
    const LineInfoW* line = el_wline(el);
    std::string before;
    for (const wchar_t* p = line->buffer; p < line->cursor; ++p) {
      if (!append_utf8(before, static_cast<std::uint32_t>(*p))) return CC_ERROR;
    }
    const Completion completion = complete_shell_word(before, options.completion);
    if (!completion.insert.empty()) {
      return el_winsertstr(el, widen(completion.insert).c_str()) == 0 ? CC_REFRESH : CC_ERROR;
    }
    if (completion.choices.empty()) return CC_ERROR;
    std::string listing = "\n";
    for (const std::string& choice : completion.choices) {
      if (listing.size() > 1) listing += "  ";
      listing += choice;
    }
    listing += "\n";
    std::fputs(listing.c_str(), out);
    std::fflush(out);
    return CC_REDISPLAY;
  }
};

namespace {

LineEditor::Impl* impl_of(EditLine* el) {
  void* data = nullptr;
  el_wget(el, EL_CLIENTDATA, &data);
  return static_cast<LineEditor::Impl*>(data);
}

int read_char_hook(EditLine* el, wchar_t* out) { return impl_of(el)->read_char(out); }

unsigned char complete_hook(EditLine* el, int) { return impl_of(el)->complete(); }

wchar_t* prompt_hook(EditLine* el) { return impl_of(el)->prompt.data(); }

}  // namespace

LineEditor::LineEditor(int in_fd, std::FILE* out, EditorOptions options)
    : impl_(std::make_unique<Impl>()) {
  assert(::isatty(in_fd) == 1 && ::isatty(::fileno(out)) == 1);
  impl_->in_fd = in_fd;
  impl_->out = out;
  impl_->options = std::move(options);
  impl_->utf8 = ::newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
  Utf8Scope scope(impl_->utf8);
  // The input stream is never read: characters come through read_char_hook.
  impl_->el = el_init_fd("tovik", stdin, out, stderr, in_fd, ::fileno(out), STDERR_FILENO);
  impl_->history = history_init();
  if (impl_->el == nullptr || impl_->history == nullptr) return;
  HistEvent event;
  history(impl_->history, &event, H_SETSIZE, kHistoryEntries);
  history(impl_->history, &event, H_SETUNIQUE, 1);
  el_wset(impl_->el, EL_CLIENTDATA, impl_.get());
  el_wset(impl_->el, EL_EDITOR, L"emacs");
  // Ctrl+C and Ctrl+Z at the prompt give the terminal back first.
  el_wset(impl_->el, EL_SIGNAL, 1);
  el_wset(impl_->el, EL_GETCFN, read_char_hook);
  el_wset(impl_->el, EL_PROMPT, prompt_hook);
  el_set(impl_->el, EL_HIST, history, impl_->history);
  el_wset(impl_->el, EL_ADDFN, L"tovik-complete", L"Complete a command word", complete_hook);
  el_wset(impl_->el, EL_BIND, L"^I", L"tovik-complete", static_cast<const wchar_t*>(nullptr));
  if (impl_->options.history != nullptr) {
    for (const std::string& line : impl_->options.history->load()) {
      history(impl_->history, &event, H_ENTER, line.c_str());
    }
  }
}

bool LineEditor::cancelled() const { return impl_->cancelled; }

bool LineEditor::ready() const { return impl_->el != nullptr && impl_->history != nullptr; }

LineEditor::~LineEditor() {
  {
    Utf8Scope scope(impl_->utf8);
    if (impl_->el != nullptr) el_end(impl_->el);
    if (impl_->history != nullptr) history_end(impl_->history);
  }
  // Only once the thread has its own locale back.
  if (impl_->utf8 != nullptr) ::freelocale(impl_->utf8);
}

InputLine LineEditor::next_line(std::string_view prompt) {
  Impl& self = *impl_;
  self.prompt = widen(prompt);
  self.too_long = false;
  self.read_error = 0;
  self.cancelled = false;
  clear_interrupt();
  int count = 0;
  const wchar_t* wide = nullptr;
  {
    Utf8Scope scope(self.utf8);
    wide = el_wgets(self.el, &count);
    // The half-typed line goes; the next starts afresh.
    if (self.cancelled) {
      el_reset(self.el);
      self.pending.reset();
    }
  }
  if (self.cancelled) {
    std::fputs("^C\n", self.out);
    std::fflush(self.out);
    clear_interrupt();
    return std::optional<std::string>(std::string());
  }
  if (self.too_long) return std::unexpected(Failure::message("input line exceeds 1 MiB"));
  if (wide == nullptr || count <= 0) {
    if (self.read_error != 0) return std::unexpected(Failure::os(self.read_error));
    if (count < 0) return std::unexpected(Failure::os(errno != 0 ? errno : EIO));
    return std::optional<std::string>();
  }
  std::string text;
  bool valid = true;
  for (int i = 0; i < count; ++i) {
    valid = append_utf8(text, static_cast<std::uint32_t>(wide[i])) && valid;
  }
  if (text.size() > kMaxInputLine)
    return std::unexpected(Failure::message("input line exceeds 1 MiB"));
  if (!valid) return std::unexpected(Failure::message("stream did not contain valid UTF-8"));
  std::string line(trim(text));
  // A line typed with a leading blank is not kept: the usual way to leave
  // something out of history.
  const bool leading_blank = !text.empty() && text.front() == ' ';
  if (!leading_blank && kept_in_history(line)) {
    HistEvent event;
    Utf8Scope scope(self.utf8);
    history(self.history, &event, H_ENTER, line.c_str());
    if (self.options.history != nullptr) self.options.history->add(line);
  }
  return std::optional<std::string>(std::move(line));
}

namespace {

constexpr std::string_view kContinuationPrompt = "...> ";

// Joins the lines of a JSON value typed or pasted over several lines into
// one command line, within the one-line limit.
class ContinuingLineSource : public LineSource {
 public:
  explicit ContinuingLineSource(std::unique_ptr<LineSource> lines) : lines_(std::move(lines)) {}

  [[nodiscard]] InputLine next_line(std::string_view prompt) override {
    auto line = lines_->next_line(prompt);
    if (!line || !*line) return line;
    std::string text = std::move(**line);
    while (ends_inside_json(text)) {
      auto more = lines_->next_line(kContinuationPrompt);
      if (!more) return more;
      if (lines_->cancelled()) return more;
      // End of input: the line as it stands, whose parse says what is missing.
      if (!*more) break;
      text.push_back('\n');
      text += **more;
      if (text.size() >= kMaxInputLine) {
        return std::unexpected(Failure::message("input line exceeds 1 MiB"));
      }
    }
    return std::optional<std::string>(std::move(text));
  }

  bool cancelled() const override { return lines_->cancelled(); }

 private:
  std::unique_ptr<LineSource> lines_;
};

}  // namespace

bool on_terminal() { return ::isatty(STDIN_FILENO) == 1 && ::isatty(STDOUT_FILENO) == 1; }

std::unique_ptr<LineSource> make_shell_line_source(InputReader& reader, std::ostream& out,
                                                   EditorOptions options) {
  // Without a terminal to draw on, libedit would swallow the prompt.
  if (on_terminal()) {
    out.flush();
    auto editor = std::make_unique<LineEditor>(STDIN_FILENO, stdout, std::move(options));
    if (editor->ready()) return std::make_unique<ContinuingLineSource>(std::move(editor));
  }
  return std::make_unique<PlainLineSource>(reader, out);
}

}  // namespace tovik::cli
