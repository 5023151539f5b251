#include "qclickablelabel.h"

#include <QMouseEvent>

QClickableLabel::QClickableLabel(QWidget* parent)
    : QLabel(parent)
{
}

void QClickableLabel::mousePressEvent(QMouseEvent* event)
{
    QLabel::mousePressEvent(event);
    m_moved = false;
}

void QClickableLabel::mouseMoveEvent(QMouseEvent* event)
{
    QLabel::mouseMoveEvent(event);
    m_moved = true;
}

void QClickableLabel::mouseReleaseEvent(QMouseEvent* event)
{
    QLabel::mouseReleaseEvent(event);
    if (!m_moved)
        emit clicked();
}
