#pragma once
// The three shared message boxes. The core formats the text; whoever owns the
// screen (the main window, a test recorder, the command-line tool) shows it.

#include <cstdarg>
#include <string>

enum class MessageKind { Error, Warning, Question };

class MessageBoxHandler {
 public:
  virtual ~MessageBoxHandler() = default;
  // Shows one modal box. For Question the result is true when the user chose
  // Yes; for Error and Warning it is ignored.
  virtual bool Show(MessageKind kind, const std::string& caption, const std::string& text) = 0;
};

// Installs the handler used by every box (nullptr restores the stderr one).
// Returns the previous handler. Not thread-safe: install before threads start.
MessageBoxHandler* SetMessageBoxHandler(MessageBoxHandler* handler);

// printf-style; the text is cut at 1024 characters.
// Error: caption "!!!", stop icon, OK.
void ErrorBox(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// Warning: caption "Stop", exclamation icon, OK.
void WarningBox(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// Question: caption "TARVIK", question icon, Yes and No; true for Yes.
bool QuestionBox(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// Writes boxes to stderr; a question is answered No.
class StderrMessageBoxes : public MessageBoxHandler {
 public:
  bool Show(MessageKind kind, const std::string& caption, const std::string& text) override;
};
