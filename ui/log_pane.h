#pragma once

#include <QPlainTextEdit>

// The log pane: the report, read-only, one line per report line and never wrapped, with no
// horizontal scroll bar. Like the read-only edit control of the template it has a caret:
// End, Home, the arrows, Ctrl+End and Page Up/Down move it and scroll the pane sideways as
// needed, so the verdict at the end of a line wider than the pane can be reached. Shift
// with the wheel scrolls sideways, as on other Linux desktops. Every line is laid out left
// to right, whatever its text.
class CLogPane : public QPlainTextEdit {
 public:
  explicit CLogPane(QWidget* parent);

 protected:
  void wheelEvent(QWheelEvent* e) override;
};
