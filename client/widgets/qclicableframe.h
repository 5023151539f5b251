#ifndef QCLICABLEFRAME_H
#define QCLICABLEFRAME_H

#include <QFrame>

// A frame that acts on the press itself. The press stays accepted, so the
// window underneath does not start a drag from it.
class QClicableFrame : public QFrame
{
    Q_OBJECT
public:
    explicit QClicableFrame(QWidget* parent = nullptr);

signals:
    void clicked();

protected:
    void mousePressEvent(QMouseEvent* event) override;
};

#endif // QCLICABLEFRAME_H
