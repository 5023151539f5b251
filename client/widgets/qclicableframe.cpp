#include "qclicableframe.h"

QClicableFrame::QClicableFrame(QWidget* parent)
    : QFrame(parent)
{
}

void QClicableFrame::mousePressEvent(QMouseEvent*)
{
    emit clicked();
}
