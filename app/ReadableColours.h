// Keeps the window's fixed text colours readable on whatever background the desktop's palette
// gives. The layout sets black, maroon and navy texts, chosen for a light button face; drawn on
// a dark theme's background they would all but vanish. Each colour the layout set for a text
// role keeps its value wherever it stands out at least kMinimumContrast against the background
// it is drawn on (every one does on a light palette, so the window looks as laid out there);
// otherwise it is lightened (or darkened) in its own hue until it reaches kMappedContrast.
// Recomputed whenever the application's palette changes, e.g. when the desktop switches theme.
//
//   auto* colours = new TReadableColours(window);   // after the layout is set up; owned by window
#pragma once

#include <QColor>
#include <QObject>
#include <QPalette>
#include <QPointer>
#include <QWidget>
#include <vector>

class TReadableColours : public QObject {
    Q_OBJECT

public:
    // What a text must keep against its background (the usual guideline for normal text).
    static constexpr double kMinimumContrast = 4.5;
    // What a mapped colour is given, leaving room for anti-aliased glyph edges.
    static constexpr double kMappedContrast = 7.0;

    // Takes the text colours set on window and its descendants, and applies them at once.
    explicit TReadableColours(QWidget* window);

    // The contrast ratio of two colours, 1 (the same) to 21 (black on white).
    [[nodiscard]] static double ContrastRatio(const QColor& first, const QColor& second);
    // The wanted colour when it is readable on background, else the nearest readable one in its
    // hue, lighter on a dark background and darker on a light one.
    [[nodiscard]] static QColor Readable(const QColor& wanted, const QColor& background);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    struct LaidOutColour {
        QPointer<QWidget> widget;
        QPalette::ColorRole role;
        QColor colour;  // as the layout set it, for active and inactive windows alike
    };

    void TakeLaidOutColours(QWidget* widget);
    void Apply();

    QWidget* m_window;
    std::vector<LaidOutColour> m_colours;
    bool m_applying = false;  // Apply's own palette changes are not theme switches
};
