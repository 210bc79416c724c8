#include "desktop/desktop_entry.h"

#include <sstream>

namespace os {
namespace {

constexpr std::string_view kCommandKey = "X-Pelorin-Command=";
constexpr std::string_view kBlanks = " \t";
// Characters that the desktop entry format allows in an Exec argument only within quotes.
constexpr std::string_view kReservedInExec = " \t\n\"'\\><~|&;$*?#()`";

bool IsBlank(char c) {
  return kBlanks.find(c) != std::string_view::npos;
}

std::vector<std::string> SplitWords(std::string_view text) {
  std::vector<std::string> words;
  std::size_t start = 0;
  while (true) {
    start = text.find_first_not_of(kBlanks, start);
    if (start == std::string_view::npos) return words;
    const std::size_t end = std::min(text.find_first_of(kBlanks, start), text.size());
    words.emplace_back(text.substr(start, end - start));
    start = end;
  }
}

CommandLine QuotedProgram(std::string_view command) {
  const std::size_t close = command.find('"', 1);
  if (close == std::string_view::npos) return {std::string(command.substr(1)), {}};
  return {std::string(command.substr(1, close - 1)), SplitWords(command.substr(close + 1))};
}

// Percent signs are field codes in an Exec line: a literal one is written twice.
std::string DoublePercent(std::string_view text) {
  std::string doubled;
  for (char c : text) {
    doubled += c;
    if (c == '%') doubled += '%';
  }
  return doubled;
}

std::string QuoteExecArgument(std::string_view argument) {
  const std::string escaped = DoublePercent(argument);
  if (!argument.empty() && argument.find_first_of(kReservedInExec) == std::string_view::npos) {
    return escaped;
  }
  std::string quoted = "\"";
  for (char c : escaped) {
    if (c == '"' || c == '`' || c == '$' || c == '\\') quoted += '\\';
    quoted += c;
  }
  return quoted + "\"";
}

// The general escapes of a desktop entry string value: a backslash doubled, tabs and line
// ends written as escapes (a value holds no control characters), and a leading blank kept as
// "\s" (blanks around "=" are not part of the value).
std::string EscapeStringValue(std::string_view text) {
  std::string escaped;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\') {
      escaped += "\\\\";
    } else if (text[i] == '\t') {
      escaped += "\\t";
    } else if (text[i] == '\n') {
      escaped += "\\n";
    } else if (text[i] == '\r') {
      escaped += "\\r";
    } else if (i == 0 && text[i] == ' ') {
      escaped += "\\s";
    } else {
      escaped += text[i];
    }
  }
  return escaped;
}

std::string UnescapeStringValue(std::string_view text) {
  std::string plain;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 == text.size()) {
      plain += text[i];
      continue;
    }
    const char next = text[++i];
    plain += next == 's'   ? ' '
             : next == 't' ? '\t'
             : next == 'n' ? '\n'
             : next == 'r' ? '\r'
                           : next;
  }
  return plain;
}

std::string_view WithoutLeadingBlanks(std::string_view text) {
  const std::size_t start = text.find_first_not_of(kBlanks);
  return start == std::string_view::npos ? std::string_view() : text.substr(start);
}

bool IsDroppedPlaceholder(const std::string& word) {
  return word.size() == 2 && word[0] == '%' &&
         (word[1] == '*' || (word[1] >= '2' && word[1] <= '9'));
}

}  // namespace

CommandLine SplitCommand(std::string_view command,
                         const std::function<bool(const std::string&)>& fileExists) {
  const std::size_t start = command.find_first_not_of(kBlanks);
  if (start == std::string_view::npos) return {};
  command.remove_prefix(start);
  if (command.front() == '"') return QuotedProgram(command);
  for (std::size_t blank = command.find_first_of(kBlanks); blank != std::string_view::npos;
       blank = command.find_first_of(kBlanks, blank + 1)) {
    const std::string program(command.substr(0, blank));
    if (!IsBlank(program.back()) && fileExists(program)) {
      return {program, SplitWords(command.substr(blank))};
    }
  }
  if (fileExists(std::string(command))) return {std::string(command), {}};
  std::vector<std::string> words = SplitWords(command);
  const std::string program = words.front();
  words.erase(words.begin());
  return {program, words};
}

std::string ExecLineFor(const CommandLine& command) {
  std::string exec = QuoteExecArgument(command.program);
  for (const std::string& word : command.arguments) {
    if (IsDroppedPlaceholder(word)) continue;
    exec += ' ';
    exec += word == "%1" ? "%u" : QuoteExecArgument(word);
  }
  return exec;
}

namespace {

// The lines every entry of the program begins with.
std::string EntryHead(const std::string& exec) {
  return "[Desktop Entry]\nType=Application\nName=Pelorin 32\nComment=Send a short e-mail\n"
         "Exec=" +
         EscapeStringValue(exec) + "\n";
}

}  // namespace

std::string DesktopEntryText(const std::string& command, const std::string& exec) {
  return EntryHead(exec) + "MimeType=x-scheme-handler/mailto;\nNoDisplay=true\n" +
         std::string(kCommandKey) + EscapeStringValue(command) + "\n";
}

std::string AutostartEntryText(const std::string& exec) {
  return EntryHead(exec) + "Terminal=false\nX-GNOME-Autostart-enabled=true\n";
}

std::optional<std::string> CommandOfDesktopEntry(std::string_view text) {
  std::istringstream lines{std::string(text)};
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.starts_with(kCommandKey)) continue;
    return UnescapeStringValue(
        WithoutLeadingBlanks(std::string_view(line).substr(kCommandKey.size())));
  }
  return std::nullopt;
}

}  // namespace os
