#include "common/MessageBox.h"

#include <cstdio>

namespace {

StderrMessageBoxes stderrBoxes;
MessageBoxHandler* current = &stderrBoxes;

constexpr int kMaxText = 1024;

std::string FormatText(const char* fmt, va_list args) {
  char text[kMaxText + 1];
  int n = std::vsnprintf(text, sizeof text, fmt, args);
  if (n < 0) return std::string();
  return std::string(text);
}

}  // namespace

MessageBoxHandler* SetMessageBoxHandler(MessageBoxHandler* handler) {
  MessageBoxHandler* previous = current;
  current = handler ? handler : &stderrBoxes;
  return previous;
}

void ErrorBox(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  std::string text = FormatText(fmt, args);
  va_end(args);
  current->Show(MessageKind::Error, "!!!", text);
}

void WarningBox(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  std::string text = FormatText(fmt, args);
  va_end(args);
  current->Show(MessageKind::Warning, "Stop", text);
}

bool QuestionBox(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  std::string text = FormatText(fmt, args);
  va_end(args);
  return current->Show(MessageKind::Question, "TARVIK", text);
}

bool StderrMessageBoxes::Show(MessageKind kind, const std::string& caption, const std::string& text) {
  const char* tag = kind == MessageKind::Error     ? "error"
                    : kind == MessageKind::Warning ? "warning"
                                                   : "question";
  std::fprintf(stderr, "%s [%s]: %s\n", tag, caption.c_str(), text.c_str());
  return false;
}
