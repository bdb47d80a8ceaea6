// Paints a label's picture with smooth filtering. On a screen scaled by 1.5 or 2 the picture is
// drawn that many times larger in device pixels; Qt's labels would repeat its pixels into
// blocks, this filters them instead (it can't add detail the source doesn't have). At scale 1
// the picture is drawn pixel for pixel, as before.
//
//   new TSmoothPicture(Image1);   // owned by the label
#pragma once

#include <QObject>

class QLabel;

class TSmoothPicture : public QObject {
    Q_OBJECT

public:
    explicit TSmoothPicture(QLabel* label);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QLabel* m_label;
};
