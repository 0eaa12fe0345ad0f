#pragma once
// The keyboard shortcuts, in one table: the window binds its keys from it,
// Help lists it and the README's table is checked against it, so the three
// never disagree.

#include <string>

// What a key does; the window maps each to its handler.
enum class Command {
  Through,
  HighPass,
  FoDown,
  FoUp,
  FoDownFar,
  FoUpFar,
  RowPlace,  // argument: the place 1..4 in the current row
  RowUp,
  RowDown,
  NoiseReduction,
  Blanker,
  ClearNotches,
  NextOutput,
  Record,
  Design,
  Decoder,
  Quit,
  Waterfall,
};

struct KeyBinding {
  const char* key;  // in the portable text key sequences are read from ("Shift+Left")
  Command command;
  int argument;
};

struct Shortcut {
  const char* keys;  // as a person reads them
  const char* english;
  const char* japanese;
  KeyBinding bindings[4];  // unused ones have a null key; the mouse's have none
};

constexpr int kShortcutCount = 18;
extern const Shortcut kShortcuts[kShortcutCount];

// The table as Markdown rows ("| Space | through on and off |"), as the
// README holds it.
std::string ShortcutsMarkdown();
