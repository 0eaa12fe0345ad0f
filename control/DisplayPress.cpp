#include "control/DisplayPress.h"

#include <cstdlib>

#include "control/Session.h"

bool PressOnDisplay(Session& session, int x, PressButton button, const DisplayScale& scale) {
  const double hz = scale.hzAt(x);
  if (button == PressButton::Primary) return session.SetFoAt(hz);  // the preset in force re-centres
  if (button != PressButton::Secondary) return false;
  const std::vector<double>& notches = session.Notches();
  for (std::size_t i = 0; i < notches.size(); ++i)
    if (std::abs(scale.xOf(notches[i]) - x) <= 3) {
      session.RemoveNotch(i);
      return true;
    }
  return session.AddNotch(hz);
}
