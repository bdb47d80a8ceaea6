#include "SmoothPicture.h"

#include <QEvent>
#include <QLabel>
#include <QPainter>
#include <QPixmap>
#include <QStyle>

TSmoothPicture::TSmoothPicture(QLabel* label)
    : QObject(label)
    , m_label(label)
{
    label->installEventFilter(this);
}

// Draws what the label would (its picture, placed by its alignment) with smooth filtering;
// a label without a picture paints as usual.
bool TSmoothPicture::eventFilter(QObject* watched, QEvent* event)
{
    if (watched != m_label || event->type() != QEvent::Paint)
        return QObject::eventFilter(watched, event);
    const QPixmap picture = m_label->pixmap();
    if (picture.isNull())
        return false;
    QPainter painter(m_label);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    const QRect target = QStyle::alignedRect(m_label->layoutDirection(), m_label->alignment(),
                                             picture.deviceIndependentSize().toSize(), m_label->contentsRect());
    painter.drawPixmap(target, picture);
    return true;
}
