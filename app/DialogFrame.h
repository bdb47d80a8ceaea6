// The frame a window manager gives the wizard: a dialog border with the system menu and the close
// box only. Qt's X11 plugin always announces resizing in the window's Motif hints, and a window
// manager may then draw resize handles on a window whose size is fixed.
//
//   void TForm1::showEvent(QShowEvent* event) { ApplyDialogFrame(this); ... }   // before mapping
#pragma once

class QWidget;

// Writes the Motif hints of the top-level window (X11; nothing elsewhere). Call it after the
// native window exists and before it is mapped, and again after any change of window flags.
void ApplyDialogFrame(QWidget* window);
