#include "ui/log_pane.h"

#include <QTextDocument>
#include <QTextOption>
#include <QWheelEvent>

CLogPane::CLogPane(QWidget* parent) : QPlainTextEdit(parent) {
  setReadOnly(true);
  // After setReadOnly, which leaves only the mouse: the keyboard gets the caret.
  setTextInteractionFlags(Qt::TextSelectableByKeyboard | Qt::TextSelectableByMouse);
  setUndoRedoEnabled(false);  // an undo record per refresh would only grow
  setLineWrapMode(QPlainTextEdit::NoWrap);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  setFocusPolicy(Qt::ClickFocus);
  viewport()->setAcceptDrops(false);
  // A line whose first letters are right-to-left would otherwise be laid out from the
  // right, number and verdict turned round; within the line each run still reads its way.
  QTextOption option = document()->defaultTextOption();
  option.setTextDirection(Qt::LeftToRight);
  document()->setDefaultTextOption(option);
}

void CLogPane::wheelEvent(QWheelEvent* e) {
  const QPoint angle = e->angleDelta();
  if (!(e->modifiers() & Qt::ShiftModifier) || angle.x() != 0) {
    QPlainTextEdit::wheelEvent(e);
    return;
  }
  // Without Shift, which would page; the hidden horizontal bar still scrolls.
  QWheelEvent sideways(e->position(), e->globalPosition(), e->pixelDelta().transposed(),
                       angle.transposed(), e->buttons(), e->modifiers() & ~Qt::ShiftModifier,
                       e->phase(), e->inverted(), e->source());
  QPlainTextEdit::wheelEvent(&sideways);
  e->setAccepted(sideways.isAccepted());
}
