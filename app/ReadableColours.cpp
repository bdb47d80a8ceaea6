#include "ReadableColours.h"

#include <QEvent>
#include <algorithm>
#include <cmath>

namespace {

constexpr QPalette::ColorRole kTextRoles[] = {QPalette::WindowText, QPalette::Text, QPalette::ButtonText};

// The role each text role is drawn on: labels, radio buttons and check boxes on the window's
// face, edit fields on their base, push buttons on the button face.
QPalette::ColorRole BackgroundOf(QPalette::ColorRole textRole)
{
    switch (textRole) {
    case QPalette::Text:
        return QPalette::Base;
    case QPalette::ButtonText:
        return QPalette::Button;
    default:
        return QPalette::Window;
    }
}

// Relative luminance of an sRGB colour, 0 for black to 1 for white.
double Luminance(const QColor& colour)
{
    const auto linear = [](double channel) {
        return channel <= 0.04045 ? channel / 12.92 : std::pow((channel + 0.055) / 1.055, 2.4);
    };
    const QColor rgb = colour.toRgb();
    return 0.2126 * linear(rgb.redF()) + 0.7152 * linear(rgb.greenF()) + 0.0722 * linear(rgb.blueF());
}

}  // namespace

TReadableColours::TReadableColours(QWidget* window)
    : QObject(window)
    , m_window(window)
{
    TakeLaidOutColours(window);
    Apply();
    window->installEventFilter(this);
}

double TReadableColours::ContrastRatio(const QColor& first, const QColor& second)
{
    const double a = Luminance(first);
    const double b = Luminance(second);
    return (std::max(a, b) + 0.05) / (std::min(a, b) + 0.05);
}

QColor TReadableColours::Readable(const QColor& wanted, const QColor& background)
{
    if (ContrastRatio(wanted, background) >= kMinimumContrast)
        return wanted;
    // Towards whichever end, white or black, stands out more from this background.
    const bool lighten = ContrastRatio(Qt::white, background) >= ContrastRatio(Qt::black, background);
    const QColor hsl = wanted.toHsl();
    const float hue = hsl.hslHueF();
    const float saturation = hsl.hslSaturationF();
    const float start = hsl.lightnessF();
    constexpr int kSteps = 100;
    QColor candidate = wanted;
    for (int step = 1; step <= kSteps; ++step) {
        const float fraction = static_cast<float>(step) / kSteps;
        const float lightness = lighten ? start + (1.0f - start) * fraction : start * (1.0f - fraction);
        candidate = QColor::fromHslF(hue, saturation, lightness).toRgb();
        if (ContrastRatio(candidate, background) >= kMappedContrast)
            break;
    }
    return candidate;  // white or black at the last step: as readable as this background allows
}

bool TReadableColours::eventFilter(QObject* watched, QEvent* event)
{
    // A new application palette (a theme switch) reaches the window as a palette change once
    // the window holds it, and before anything repaints.
    if (watched == m_window && event->type() == QEvent::PaletteChange && !m_applying)
        Apply();
    return QObject::eventFilter(watched, event);
}

void TReadableColours::TakeLaidOutColours(QWidget* widget)
{
    if (widget->testAttribute(Qt::WA_SetPalette)) {
        const QPalette palette = widget->palette();
        for (const QPalette::ColorRole role : kTextRoles) {
            if (palette.isBrushSet(QPalette::Active, role))
                m_colours.push_back({widget, role, palette.color(QPalette::Active, role)});
        }
    }
    for (QObject* child : widget->children()) {
        if (child->isWidgetType())
            TakeLaidOutColours(static_cast<QWidget*>(child));
    }
}

// The layout sets no background, so every control's background is the one the window has from
// the desktop; the window's own palette is up to date first when the desktop's changes.
void TReadableColours::Apply()
{
    m_applying = true;
    const QPalette desktop = m_window->palette();
    for (const LaidOutColour& laidOut : m_colours) {
        if (laidOut.widget == nullptr)
            continue;
        QPalette palette = laidOut.widget->palette();
        for (const QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive}) {
            const QColor background = desktop.color(group, BackgroundOf(laidOut.role));
            palette.setColor(group, laidOut.role, Readable(laidOut.colour, background));
        }
        laidOut.widget->setPalette(palette);
    }
    m_applying = false;
}
