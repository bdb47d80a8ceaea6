// Keeps the second click of a double click from acting on the page the first click brought up:
// Create, Sign In and Finish sit in one place, so a double click on Sign In would otherwise press
// Finish before the user saw the Thanks page.
//
//   TDoubleClickGuard guard(window);
//   guard.Watch(finishButton);     // every button on the pages
//   guard.PageSwitched();          // whenever another page shows
//
// A mouse press on a watched control whose time (the window system's, as the event carries it)
// lies within the platform's double-click interval after the last page switch, or before it
// (clicks queued while a handler blocked the thread), is dropped with its double-click event.
// Keyboard presses and accessibility actions don't come as mouse presses and always act.
#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <optional>

class QWidget;

class TDoubleClickGuard : public QObject {
public:
    explicit TDoubleClickGuard(QObject* parent = nullptr);

    void Watch(QWidget* control);
    void PageSwitched();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // The window system's clock now: the last mouse event's time plus the time since it came.
    [[nodiscard]] std::optional<quint64> InputClockNow() const;
    [[nodiscard]] bool TooSoonAfterSwitch(quint64 pressTime);

    std::optional<quint64> m_lastEventTime;  // of the last press or release seen
    QElapsedTimer m_sinceLastEvent;
    std::optional<quint64> m_switchTime;     // on the window system's clock; none once outlived
};
