#include "DoubleClickGuard.h"

#include <QGuiApplication>
#include <QMouseEvent>
#include <QStyleHints>
#include <QWidget>
#include <cstdint>

TDoubleClickGuard::TDoubleClickGuard(QObject* parent)
    : QObject(parent)
{
}

void TDoubleClickGuard::Watch(QWidget* control)
{
    control->installEventFilter(this);
}

void TDoubleClickGuard::PageSwitched()
{
    m_switchTime = InputClockNow();
}

std::optional<quint64> TDoubleClickGuard::InputClockNow() const
{
    if (!m_lastEventTime)
        return std::nullopt;  // no click seen yet: nothing to guard against
    return *m_lastEventTime + static_cast<quint64>(m_sinceLastEvent.elapsed());
}

// Times are compared as the window system's 32-bit milliseconds, which wrap every 49 days.
bool TDoubleClickGuard::TooSoonAfterSwitch(quint64 pressTime)
{
    if (!m_switchTime)
        return false;
    const auto sinceSwitch =
        static_cast<std::int32_t>(static_cast<std::uint32_t>(pressTime) - static_cast<std::uint32_t>(*m_switchTime));
    if (sinceSwitch < QGuiApplication::styleHints()->mouseDoubleClickInterval())
        return true;
    m_switchTime.reset();  // outlived: later presses are not compared with it again
    return false;
}

bool TDoubleClickGuard::eventFilter(QObject* watched, QEvent* event)
{
    switch (event->type()) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonDblClick: {
        const quint64 time = static_cast<QMouseEvent*>(event)->timestamp();
        m_lastEventTime = time;
        m_sinceLastEvent.start();
        if (TooSoonAfterSwitch(time))
            return true;
        break;
    }
    case QEvent::MouseButtonRelease:
        m_lastEventTime = static_cast<QMouseEvent*>(event)->timestamp();
        m_sinceLastEvent.start();
        break;
    default:
        break;
    }
    return QObject::eventFilter(watched, event);
}
