#pragma once
// A press on a display of frequency (the spectrum, the waterfall), the same
// on each: the primary button sets Fo there (as if typed, to 5 Hz), the
// secondary places a notch there or removes the one within 3 pixels of the
// press. Each display gives its own mapping between pixels and Hz.

#include <functional>

class Session;

enum class PressButton { Primary, Secondary, Other };

struct DisplayScale {
  std::function<double(int x)> hzAt;  // the frequency under pixel column x
  std::function<int(double hz)> xOf;  // the column a frequency is drawn in (any value off the display)
};

// True when the press changed something.
bool PressOnDisplay(Session& session, int x, PressButton button, const DisplayScale& scale);
