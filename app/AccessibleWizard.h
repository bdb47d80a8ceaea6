// What a screen reader learns of the wizard window: the window is a dialog named by its caption,
// each page a group named for its purpose, the bevel lines separators, and a picture marked
// decorative in the layout (dynamic property "decorative") is left out of the tree altogether.
// Fields are named by their labels (buddies) and buttons by their captions, as Qt does already.
//
//   TAccessibleWizard::Install();           // once, any time before a screen reader asks
//   TAccessibleWizard::AnnounceText(Label7, "Please wait...");   // a message a reader speaks
//
// Qt builds an object's accessible interface on first demand and keeps it until the object is
// destroyed, so these roles hold whether accessibility was on at start or was turned on later.
#pragma once

#include <QString>

class QLabel;

class TAccessibleWizard {
public:
    TAccessibleWizard() = delete;

    // Adds the interface factory for the wizard's window, pages and bevels; idempotent.
    static void Install();

    // Sets the label's text and tells assistive technology once that the label's name (its
    // text) changed, so a screen reader speaks it: also when the text is the one the label held
    // already (the first "Please wait..." is the layout's own text). Nothing is sent while the
    // label is hidden; showing it is an event of its own.
    static void AnnounceText(QLabel* label, const QString& text);

    // The dynamic property that marks a widget as decoration for the accessible tree.
    static constexpr const char* kDecorativeProperty = "decorative";
};
